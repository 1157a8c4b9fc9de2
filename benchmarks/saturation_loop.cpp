// Loops of the saturation benchmark: what the middlewares do per request for the figures
// of requests in flight and busy time, against the clock reads a request took without
// them. Compiled by the benchmark with the package's own worker_slots and what it uses;
// never part of the package.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "worker_files.hpp"
#include "worker_slots.hpp"

namespace {

std::optional<worker_slots::Claim> CLAIM;
std::int64_t SINK = 0;

// Holds a slot of the directory, so that the loops publish into its mapping as a worker
// does.
PyObject* claim_slot(PyObject*, PyObject* path) {
    const char* dir = PyUnicode_AsUTF8AndSize(path, nullptr);
    if (dir == nullptr) return nullptr;
    const auto directory = worker_files::open_directory(dir, false);
    if (directory) CLAIM = worker_slots::claim(*directory, dir, getpid());
    if (!CLAIM) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromUnsignedLong(CLAIM->slot);
}

// `n` requests counted in flight and ended: the clock read of each start and end included.
PyObject* accounted(PyObject*, PyObject* count) {
    const long n = PyLong_AsLong(count);
    for (long i = 0; i < n; ++i) {
        SINK += worker_slots::begin_request();
        SINK += worker_slots::end_request();
    }
    Py_RETURN_NONE;
}

// The same `n` requests as before the figures: the two clock reads alone.
PyObject* clocks_only(PyObject*, PyObject* count) {
    const long n = PyLong_AsLong(count);
    for (long i = 0; i < n; ++i) {
        SINK += worker_slots::clock_ns();
        SINK += worker_slots::clock_ns();
    }
    Py_RETURN_NONE;
}

PyMethodDef METHODS[] = {
    {"claim_slot", claim_slot, METH_O, nullptr},
    {"accounted", accounted, METH_O, nullptr},
    {"clocks_only", clocks_only, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT,
                      "_saturation_loop",
                      nullptr,
                      0,
                      METHODS,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__saturation_loop() {
    return PyModule_Create(&MODULE);
}
