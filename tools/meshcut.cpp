// meshcut: cuts triangle meshes from the command line.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "MStlBaseOperatorCreateZRange.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "tools/MCommandLine.h"

namespace {

using namespace meshcut_cli;

constexpr int kFailure = 1;
constexpr int kNotClosed = 2;
constexpr int kInterrupted = 130;

int Fail(const std::string& message) {
    std::cerr << "meshcut: " << message << "\n";
    return kFailure;
}

bool Load(const std::string& path, MStlBase& mesh, std::string& error) {
    ReadStats stats;
    if (!ReadMesh(path, mesh, error, &stats)) return false;
    if (mesh.GetNumberOfTriangles() == 0) {
        error = path + ": the file holds no usable triangle";
        return false;
    }
    if (stats.skippedDegenerate)
        std::cerr << "meshcut: " << path << ": left out " << stats.skippedDegenerate << " degenerate triangles\n";
    return true;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct PlaneArgs {
    std::string input, below, above, plane;
    double z = 0.0;
    bool noFill = false, ascii = false;
};

int RunPlane(const PlaneArgs& a, bool zGiven) {
    if (zGiven == !a.plane.empty()) return Fail("give the plane with exactly one of --z or --plane");
    if (a.below.empty() && a.above.empty()) return Fail("nothing to write: give --below and/or --above");
    MMPlaneEq<double> plane;
    std::string error;
    if (zGiven) {
        long z = 0;
        if (!ToInternal(a.z, z, error)) return Fail("--z: " + error);
        plane.Set(0.0, 0.0, 1.0, -a.z * QelSDK::Common::MInternalUnits::Get());
    } else if (!ParsePlane(a.plane, plane, error)) {
        return Fail(error);
    }
    MStlBase mesh;
    if (!Load(a.input, mesh, error)) return Fail(error);

    auto progress = std::make_shared<TerminalProgress>();
    MStlBase below, above;
    const auto start = std::chrono::steady_clock::now();
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane(plane);
    cut.SetOutputStl(a.below.empty() ? nullptr : &below, a.above.empty() ? nullptr : &above);
    cut.SetFillSection(!a.noFill);
    const bool ok = cut.Operate(progress);
    const double seconds = Seconds(start);
    progress->Finish();
    if (progress->IsCancelled()) return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (!ok) {
        if (cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eOpenCutContour)
            return Fail("the cut contour is open (the mesh is not closed where the plane meets it); "
                        "nothing written; use --no-fill to cut without closing");
        return Fail("the cut failed");
    }
    if (cut.GetErrorCode() == MStlBaseOperatorPlaneCut::eNoCut)
        std::cout << "the plane does not cut the mesh; each side gets the triangles lying on it\n";
    if (!WriteAll({{a.below, &below}, {a.above, &above}}, a.ascii, error)) return Fail(error);
    std::cout << "input: " << Describe(mesh) << "\n";
    if (!a.below.empty()) std::cout << "below: " << Describe(below) << " -> " << a.below << "\n";
    if (!a.above.empty()) std::cout << "above: " << Describe(above) << " -> " << a.above << "\n";
    std::printf("cut in %.3f s\n", seconds);
    return 0;
}

struct RangeArgs {
    std::string input, output;
    double lower = 0.0, upper = 0.0;
    bool ascii = false;
};

int RunRange(const RangeArgs& a) {
    std::string error;
    long lower = 0, upper = 0;
    if (!ToInternal(a.lower, lower, error)) return Fail("--lower: " + error);
    if (!ToInternal(a.upper, upper, error)) return Fail("--upper: " + error);
    if (lower > upper) return Fail("--lower is above --upper");
    MStlBase mesh, slab;
    if (!Load(a.input, mesh, error)) return Fail(error);
    auto progress = std::make_shared<TerminalProgress>();
    MStlBaseOperatorCreateZRange range;
    range.SetInput(&mesh);
    range.SetOutput(&slab);
    range.SetRange(lower, upper);
    const bool ok = range.Operate(progress);
    progress->Finish();
    if (progress->IsCancelled()) return std::cerr << "meshcut: interrupted, nothing written\n", kInterrupted;
    if (!ok) return Fail("the range could not be made");
    if (slab.GetNumberOfTriangles() == 0) return Fail("no part of the mesh lies between the heights; nothing written");
    if (!WriteAll({{a.output, &slab}}, a.ascii, error)) return Fail(error);
    std::cout << "range: " << Describe(slab) << " -> " << a.output << "\n";
    return 0;
}

int RunCheck(const std::string& input) {
    MStlBase mesh;
    std::string error;
    if (!Load(input, mesh, error)) return Fail(error);
    const MeshReport r = CheckMesh(mesh);
    std::cout << FormatReport(r);
    return r.closed && r.oriented ? 0 : kNotClosed;
}

struct GenerateArgs {
    std::string shape, output;
    uint64_t triangles = 20000;
    double size = 50.0;
    bool ascii = false;
};

int RunGenerate(const GenerateArgs& a) {
    if (a.triangles < 12 || a.triangles > 50'000'000) return Fail("--triangles must lie between 12 and 50000000");
    long size = 0;
    std::string error;
    if (!(a.size > 0.0) || !ToInternal(a.size * 2.0, size, error) || size < 2000)
        return Fail("--size must lie between 1 and about 1000000 units");
    const double r = a.size * QelSDK::Common::MInternalUnits::Get();
    MStlBase mesh;
    if (a.shape == "sphere") {
        GenerateSphere(mesh, r, a.triangles);
    } else if (a.shape == "torus") {
        GenerateTorus(mesh, r, r / 3.0, a.triangles);
    } else {
        const int n = std::max(1, int(std::sqrt(double(a.triangles) / 12.0)));
        const long h = long(r);
        GenerateBox(mesh, {-h, -h, -h}, {h, h, h}, n);
    }
    if (!WriteAll({{a.output, &mesh}}, a.ascii, error)) return Fail(error);
    std::cout << a.shape << ": " << Describe(mesh) << " -> " << a.output << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"meshcut: cuts triangle meshes (binary/ASCII STL, OBJ) and closes the cuts.\n"
                 "Coordinates are model units; the mesh grid is 1/1000 unit, up to about +-2147483 units."};
    app.require_subcommand(1);
    int result = 0;

    PlaneArgs plane;
    auto* cmdPlane = app.add_subcommand("plane", "cut a mesh with a plane into the part below and the part above");
    cmdPlane->add_option("input", plane.input, "mesh file (.stl or .obj)")->required();
    auto* zOption = cmdPlane->add_option("--z", plane.z, "cut at height z (the plane z = VALUE)");
    cmdPlane->add_option("--plane", plane.plane, "cut with the plane a*x + b*y + c*z + d = 0, given as a,b,c,d");
    cmdPlane->add_option("--below", plane.below, "write the part on the negative side here");
    cmdPlane->add_option("--above", plane.above, "write the part on the positive side here");
    cmdPlane->add_flag("--no-fill", plane.noFill, "leave the cut open instead of closing it with a surface");
    cmdPlane->add_flag("--ascii", plane.ascii, "write STL files as ASCII");
    cmdPlane->callback([&] { result = RunPlane(plane, zOption->count() > 0); });

    RangeArgs range;
    auto* cmdRange = app.add_subcommand("zrange", "keep the part of a mesh surface between two heights (left open)");
    cmdRange->add_option("input", range.input, "mesh file")->required();
    cmdRange->add_option("--lower", range.lower, "lower height")->required();
    cmdRange->add_option("--upper", range.upper, "upper height")->required();
    cmdRange->add_option("-o,--output", range.output, "output mesh file")->required();
    cmdRange->add_flag("--ascii", range.ascii, "write STL as ASCII");
    cmdRange->callback([&] { result = RunRange(range); });

    std::string checkInput;
    auto* cmdCheck = app.add_subcommand("check", "report triangles, open and non-manifold edges, orientation, shells, "
                                                 "volume; exit status 2 when not closed and oriented");
    cmdCheck->add_option("input", checkInput, "mesh file")->required();
    cmdCheck->callback([&] { result = RunCheck(checkInput); });

    GenerateArgs gen;
    auto* cmdGen = app.add_subcommand("generate", "write a closed sample mesh");
    cmdGen->add_option("shape", gen.shape, "sphere, torus or box")->required()->check(CLI::IsMember({"sphere", "torus", "box"}));
    cmdGen->add_option("output", gen.output, "output mesh file")->required();
    cmdGen->add_option("--triangles", gen.triangles, "approximate number of triangles (default 20000)");
    cmdGen->add_option("--size", gen.size, "radius or half width in units (default 50)");
    cmdGen->add_flag("--ascii", gen.ascii, "write STL as ASCII");
    cmdGen->callback([&] { result = RunGenerate(gen); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kFailure;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return result;
}
