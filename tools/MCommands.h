// Subcommands that live in their own source files.  Each adds itself to the
// application; its callback stores the exit status in `result`.
#pragma once

#include <CLI/CLI.hpp>

namespace meshcut_cli {

// meshcut zones: shells split by zone surfaces, one file per zone.
void AddZonesCommand(CLI::App& app, int& result);
// meshcut extrude: a surface thickened into a closed shell.
void AddExtrudeCommand(CLI::App& app, int& result);
// meshcut self-trim: a mesh's triangles cut where they cross each other.
void AddSelfTrimCommand(CLI::App& app, int& result);

}  // namespace meshcut_cli
