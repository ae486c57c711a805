// The commands a user types: the three per-pipeline commands (the fixed
// parsers of Merivane.cli, wrapped) and `merivane` with one subcommand per
// pipeline. They share how messages are shown and how a failure ends.
#pragma once

#include <pybind11/pybind11.h>

namespace merivane::binding {

// Defines the commands' entry points on the Merivane.cli module `m`, under
// private names that the installed console scripts call.
void add_commands(pybind11::module_& m);

}  // namespace merivane::binding
