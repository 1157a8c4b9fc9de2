// What every unit of the Python surface shares: the guard around each entry point,
// the one conversion of a C++ text into a Python str, and how a module is built.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string_view>

#include "py_ref.hpp"

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

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// A new module whose `__all__` is the empty list `all`, for `add` to fill.
inline PyRef new_module(PyModuleDef& def, PyRef& all) {
    PyRef module = PyRef::steal(PyModule_Create2(&def, PYTHON_ABI_VERSION));
    if (!module) return module;
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return PyRef();
    return module;
}

// Sets `name` on the module and appends it to `__all__`; steals `value`.
inline bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    const PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    const PyRef key = PyRef::steal(PyUnicode_FromString(name));
    return key && PyObject_SetAttr(module, key.get(), owned.get()) == 0 &&
           PyList_Append(all, key.get()) == 0;
}

inline bool add_function(PyObject* module, PyObject* all, PyMethodDef& def) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    return add(module, all, def.ml_name, PyCMethod_New(&def, module, module_name.get(), nullptr));
}

// A module built once per process, in the main interpreter, which CPython numbers 0: all
// state is process-wide, so a module cannot serve a second interpreter, and a
// sub-interpreter that imports first must not take the module from the main one.
inline PyObject* init_once(PyObject*& module, const char* name, PyObject* (*build)()) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (id != 0) {
        // Contract: callers match this message.
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it keeps process-wide state and "
                     "loads only in the main interpreter, not in sub-interpreter %lld",
                     name, static_cast<long long>(id));
        return nullptr;
    }
    if (module == nullptr) module = build();
    Py_XINCREF(module);
    return module;
}
