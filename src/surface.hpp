// What every unit of the Python surface shares: the guard around each entry point
// and the one conversion of a C++ text into a Python str.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

// Runs an entry point's body so that no C++ exception crosses into the interpreter:
// allocation failures become MemoryError, anything else RuntimeError.
template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception in vornik");
    }
    return nullptr;
}

inline PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
