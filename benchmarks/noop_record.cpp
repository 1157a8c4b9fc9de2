// Baseline of the record_request benchmark: a module function that binds and converts
// the same four arguments through the same code as record_request, inside the same
// guard, and records nothing. Compiled by the benchmark; never part of the package.
#include <Python.h>

#include "arguments.hpp"
#include "surface.hpp"

namespace {

PyObject* record_nothing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        arguments::Request request;
        if (!arguments::to_request(args, nargs, kwnames, request)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyMethodDef METHODS[] = {
    {"record_nothing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_nothing)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_noop_record", nullptr, 0, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__noop_record() {
    return PyModule_Create(&MODULE);
}
