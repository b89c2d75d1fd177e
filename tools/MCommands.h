// The subcommands of the command-line tool.  Each Add function adds its
// subcommands to the application with their options and help, and lists how
// to run each once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

#include "tools/MJob.h"

namespace meshcut_cli {

struct Command {
    CLI::App* app;
    std::function<int(Job&)> run;
};
using CommandList = std::vector<Command>;

// plane, zrange
void AddPlaneCommands(CLI::App& app, CommandList& commands);
// profile, polyline
void AddProfileCommands(CLI::App& app, CommandList& commands);
// trim, self-trim
void AddTrimCommands(CLI::App& app, CommandList& commands);
// halves, frame
void AddHalvesCommands(CLI::App& app, CommandList& commands);
// undercut, boolean-undercut
void AddUndercutCommands(CLI::App& app, CommandList& commands);
// zones, extrude
void AddZonesCommands(CLI::App& app, CommandList& commands);
// check, generate
void AddCheckCommands(CLI::App& app, CommandList& commands);

// Options that name files and take model-unit numbers are added the same way
// everywhere.
CLI::Option* AddInput(CLI::App* cmd, const std::string& name, std::string& path, const std::string& what);
CLI::Option* AddOutput(CLI::App* cmd, const std::string& name, std::string& path, const std::string& what);
CLI::Option* AddNumber(CLI::App* cmd, const std::string& name, std::string& text, const std::string& what,
                       const std::string& type = "NUMBER");
void AddAscii(CLI::App* cmd, bool& ascii);

// The one closed contour of a polyline file, in grid steps.
bool ReadPolyline(const std::string& path, std::vector<MMVector<double, 2>>& polyline, std::string& error);

}  // namespace meshcut_cli
