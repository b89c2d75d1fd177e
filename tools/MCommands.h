// Subcommands that live in their own source files.  Each adds itself to the
// application; its callback stores the exit status in `result`.
#pragma once

#include <CLI/CLI.hpp>

namespace meshcut_cli {

}  // namespace meshcut_cli
