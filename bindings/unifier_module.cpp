#include <pybind11/pybind11.h>

#include "support.hpp"

namespace py = pybind11;

PYBIND11_MODULE(unifier, m) {
    py::options options;
    options.disable_function_signatures();
    merivane::binding::init_module(m);
}
