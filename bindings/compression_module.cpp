#include <pybind11/pybind11.h>

#include "support.hpp"

namespace py = pybind11;

PYBIND11_MODULE(compression, m) {
    py::options options;
    options.disable_function_signatures();
    merivane::binding::init_module(m);
}
