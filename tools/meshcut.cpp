// meshcut: cuts triangle meshes from the command line.
#include <CLI/CLI.hpp>

#include <iostream>

#include "host/MInternalUnits.h"
#include "tools/MCommands.h"

namespace meshcut_cli {

CLI::Option* AddInput(CLI::App* cmd, const std::string& name, std::string& path, const std::string& what) {
    return cmd->add_option(name, path, what + " (STL, OBJ, OFF, PLY or 3MF; - for standard input)")
        ->type_name("FILE")
        ->required();
}

CLI::Option* AddOutput(CLI::App* cmd, const std::string& name, std::string& path, const std::string& what) {
    return cmd->add_option(name, path, what + " (format by extension; - for standard output)")->type_name("FILE");
}

CLI::Option* AddNumber(CLI::App* cmd, const std::string& name, std::string& text, const std::string& what,
                       const std::string& type) {
    return cmd->add_option(name, text, what)->type_name(type);
}

void AddAscii(CLI::App* cmd, bool& ascii) { cmd->add_flag("--ascii", ascii, "write STL (and PLY) files as text"); }

namespace {

// Sets the grid before any mesh is made.
bool SetGrid(const std::string& text, std::string& error) {
    if (text.empty()) return true;
    double step = 0.0;
    if (!ParseNumber(text, "--grid", step, error)) return false;
    if (!(step > 0.0) || !QelSDK::Common::MInternalUnits::Set(1.0 / step))
        return error = "--grid must be a step between 1e-9 and 1e6 units", false;
    return true;
}

}  // namespace
}  // namespace meshcut_cli

int main(int argc, char** argv) {
    using namespace meshcut_cli;
    CLI::App app{"meshcut " MESHCUT_VERSION ": cuts closed triangle meshes and closes the cuts.\n"
                 "Files: STL (binary and ASCII), OBJ, OFF, PLY (binary and ASCII) and 3MF; - for standard input\n"
                 "or output. Coordinates are model units, rounded to a grid of --grid units (default 0.001)."};
    app.require_subcommand(1);
    app.fallthrough();  // the options below are taken after the subcommand too
    app.set_version_flag("--version", "meshcut " MESHCUT_VERSION);
    GlobalOptions options;
    app.add_flag("--json", options.json, "print one JSON object with inputs, outputs, timings and warnings");
    app.add_flag("-q,--quiet", options.quiet, "print nothing but errors");
    app.add_option("--grid", options.grid, "model units per grid step (default 0.001)")->type_name("STEP");

    CommandList commands;
    AddPlaneCommands(app, commands);
    AddProfileCommands(app, commands);
    AddTrimCommands(app, commands);
    AddHalvesCommands(app, commands);
    AddUndercutCommands(app, commands);
    AddZonesCommands(app, commands);
    AddCheckCommands(app, commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kSuccess : kFailure;
    }
    for (const Command& command : commands) {
        if (!command.app->parsed()) continue;
        Job job(command.app->get_name(), options);
        std::string error;
        if (!SetGrid(options.grid, error)) return job.Fail(error);
        InstallSignalHandlers();
        try {
            return command.run(job);
        } catch (const std::bad_alloc&) {
            return job.Fail("out of memory");
        } catch (const std::exception& e) {
            return job.Fail(e.what());
        }
    }
    return kFailure;
}
