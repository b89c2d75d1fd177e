# Entry points for a fresh Debian 12 machine:
#   make demo   installs missing packages, builds, cuts a generated sphere
#   make test   installs missing packages, builds with tests, runs ctest
PACKAGES := cmake make g++ pkg-config libtbb-dev libcgal-dev libgmp-dev libmpfr-dev libboost-dev \
            libabsl-dev libcli11-dev libpolyclipping-dev libopenvdb-dev libgtest-dev libbenchmark-dev \
            lib3mf-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build

.PHONY: deps demo test sanitize bench fuzz sweep clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/release/meshcut: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DMESHCUT_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS) --target meshcut_cli

demo: $(BUILD)/release/meshcut
	@mkdir -p demo-output
	$(BUILD)/release/meshcut generate sphere demo-output/sphere.stl --triangles 1000000 --size 50
	$(BUILD)/release/meshcut plane demo-output/sphere.stl --z 12.5 \
	  --below demo-output/below.stl --above demo-output/above.stl

test: deps
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Release -DMESHCUT_BUILD_TESTS=ON
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=Debug -DMESHCUT_SANITIZE=ON -DMESHCUT_BUILD_TESTS=ON
	cmake --build $(BUILD)/sanitize -j $(JOBS)
	cd $(BUILD)/sanitize && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DMESHCUT_BUILD_TESTS=OFF -DMESHCUT_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	for b in $(BUILD)/bench/bench/bench_*; do $$b; done

# Fuzzes every file reader for FUZZ_SECONDS (outside CI); inputs that break
# a reader land in $(BUILD)/fuzz/findings.
FUZZ_SECONDS ?= 60
FUZZ_FORMATS := stl obj off ply 3mf
fuzz: PACKAGES += clang libclang-rt-14-dev
fuzz: deps
	cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DMESHCUT_BUILD_TESTS=OFF -DMESHCUT_BUILD_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_seeds $(addprefix fuzz_,$(FUZZ_FORMATS))
	$(BUILD)/fuzz/fuzz/fuzz_seeds $(BUILD)/fuzz/seeds
	mkdir -p $(BUILD)/fuzz/findings
	for f in $(FUZZ_FORMATS); do \
	  mkdir -p $(BUILD)/fuzz/corpus/$$f && \
	  $(BUILD)/fuzz/fuzz/fuzz_$$f $(BUILD)/fuzz/corpus/$$f $(BUILD)/fuzz/seeds/$$f -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=16384 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=$(BUILD)/fuzz/findings/$$f- || exit 1; \
	done

# The corpus sweep (never in make test or CI): every operation, with seeded
# random parameters, on the public meshes of Debian's libcgal-demo package,
# fetched into $(BUILD)/sweep-corpus once.  Options through SWEEP_ARGS, e.g.
#   make sweep SWEEP_ARGS="--cuts 20 --ops profile,polyline --keep /tmp/sweep-keep"
SWEEP_ARGS ?=
SWEEP_CORPUS := $(BUILD)/sweep-corpus/data/meshes
sweep: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DMESHCUT_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS) --target meshcut_sweep meshcut_cli
	@if [ ! -d $(SWEEP_CORPUS) ]; then \
	  echo "fetching the corpus (libcgal-demo) into $(BUILD)/sweep-corpus"; \
	  mkdir -p $(BUILD)/sweep-corpus && cd $(BUILD)/sweep-corpus && \
	  rm -rf package data libcgal-demo_*.deb && \
	  apt-get download libcgal-demo && \
	  dpkg-deb -x libcgal-demo_*.deb package && \
	  tar -xzf package/usr/share/doc/libcgal-dev/data.tar.gz data/meshes && \
	  rm -rf package libcgal-demo_*.deb; \
	fi
	$(BUILD)/release/meshcut-sweep $(SWEEP_CORPUS) $(SWEEP_ARGS)

clean:
	rm -rf $(BUILD) demo-output
