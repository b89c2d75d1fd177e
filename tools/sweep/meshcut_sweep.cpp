// meshcut-sweep: runs every operation of the library with seeded random
// parameters on every closed mesh of a folder and tallies the verdicts.
#include <CLI/CLI.hpp>

#include <cmath>
#include <iostream>

#include "tools/sweep/MSweep.h"

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c != ',') {
            item += c;
            continue;
        }
        if (!item.empty()) items.push_back(item);
        item.clear();
    }
    return items;
}

const char* const kFooter =
    "Every mesh that reads and is closed and consistently oriented is scaled to a largest\n"
    "extent of 80 units about its box centre and snapped to the grid; each case runs in a\n"
    "child process of its own. The report gives the operations by verdict (sound, refused\n"
    "with the operator's result code, unsound: reported as success with a result that is\n"
    "open, non-manifold, inside out or off in volume, crash, time-out), the refusal\n"
    "reasons, and one line per case that is not sound. A case's parameters depend only on\n"
    "the seed, the mesh's file name, the operation and the case number.\n"
    "Exit status: 0 when every case was sound or refused, 2 when some case was unsound,\n"
    "crashed or timed out, 1 for bad options.";

}  // namespace

int main(int argc, char** argv) {
    using namespace meshcut_sweep;
    CLI::App app{"meshcut-sweep: every operation of the library on every closed mesh of a folder, "
                 "with seeded random parameters; each result is checked."};
    Options options;
    std::string ops, grid;
    double memoryGb = 4.0;
    bool json = false;
    app.add_option("folder", options.folder, "folder of meshes (STL, OBJ, OFF, PLY, 3MF)")->required();
    app.add_option("--cuts", options.cuts, "cases per operation and mesh (default 10)")->check(CLI::PositiveNumber);
    app.add_option("--seed", options.seed, "seed of the parameters (default 1)");
    app.add_option("--timeout", options.timeoutSeconds, "seconds a case may take (default 60)")->check(CLI::PositiveNumber);
    app.add_option("--jobs", options.jobs, "cases at once (default 2)")->check(CLI::PositiveNumber);
    app.add_option("--memory", memoryGb, "address space of each case in GB (default 4; 0: no limit)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--ops", ops, "comma-separated operations (default all): " + [] {
        std::string all;
        for (const std::string& op : OperationNames()) all += (all.empty() ? "" : ",") + op;
        return all;
    }())->type_name("LIST");
    app.add_option("--mesh", options.onlyMesh, "only this file of the folder")->type_name("NAME");
    app.add_option("--case", options.onlyCase, "only this case number")->type_name("K")->check(CLI::NonNegativeNumber);
    app.add_option("--keep", options.keepFolder,
                   "write the inputs and the meshcut command line of every case that is not sound here")
        ->type_name("DIR");
    app.add_option("--grid", grid, "model units per grid step (default 0.001)")->type_name("STEP");
    app.add_flag("--json", json, "print the report as one JSON object instead of text");
    app.footer(kFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 1;
    }
    options.operations = SplitList(ops);
    options.memoryLimitBytes = uint64_t(std::llround(memoryGb * double(uint64_t(1) << 30)));
    if (!grid.empty()) {
        double step = 0.0;
        try {
            step = std::stod(grid);
        } catch (const std::exception&) {
        }
        if (!(step > 0.0 && std::isfinite(step))) {
            std::cerr << "meshcut-sweep: --grid must be a positive number of units\n";
            return 1;
        }
        options.stepsPerUnit = 1.0 / step;
    }
    options.progress = &std::cerr;

    Report report;
    std::string error;
    try {
        if (!Run(options, report, error)) {
            std::cerr << "meshcut-sweep: " << error << "\n";
            return 1;
        }
    } catch (const std::exception& e) {  // no pipe or no process for a child
        std::cerr << "meshcut-sweep: " << e.what() << "\n";
        return 1;
    }
    if (json) PrintJson(report, std::cout);
    else PrintReport(report, std::cout);
    return AllSoundOrRefused(report) ? 0 : 2;
}
