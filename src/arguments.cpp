// One binding routine for all fastcall functions, driven by each function's parameter
// list, so that every function reports bad calls in the same words.
// Contract: every message text in this file is matched by callers and tests.
#include "arguments.hpp"

#include <limits>
#include <string>

#include "py_ref.hpp"

namespace arguments {

namespace {

// The type name of `object` as Python shows it, for messages.
PyObject* type_name(PyObject* object) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
}

std::string quoted_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t most = signature.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     signature.function, most, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function, signature.required, most, given, verb);
    }
    return false;
}

bool missing_required(const Signature& signature, PyObject** bound) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (bound[i] == nullptr) missing[count++] = signature.parameters[i];
    if (count == 0) return true;
    const std::string message = std::string(signature.function) + "() missing " +
                                std::to_string(count) + " required positional argument" +
                                (count > 1 ? "s" : "") + ": " +
                                quoted_list({missing, count});
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// A plain TypeError from a conversion gets the parameter's name in front; its cause is
// carried over. Any other error, TypeError subclasses included, passes unchanged.
void prefix_type_error(const char* parameter) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    const PyRef original = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    const PyRef detail = PyRef::steal(PyObject_Str(original.get()));
    if (!detail) return;
    const PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, detail.get()));
    if (!message) return;
    const PyRef new_error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!new_error) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(new_error.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, new_error.get());
}

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) {
    const std::size_t count = signature.parameters.size();
    if (static_cast<std::size_t>(nargs) > count) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < count; ++i)
        bound[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) return false;
        std::size_t index = 0;
        while (index < count &&
               PyUnicode_CompareWithASCIIString(keyword, signature.parameters[index]) != 0)
            ++index;
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.function, signature.parameters[index]);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    return missing_required(signature, bound);
}

bool to_text(PyObject* value, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        const PyRef name = PyRef::steal(type_name(value));
        if (name) {
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': '%U' object cannot be converted to 'PyString'",
                         parameter, name.get());
        }
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;  // lone surrogates: the UnicodeEncodeError stands
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_status_code(PyObject* value, const char* parameter, std::uint16_t& out) {
    const long code = PyLong_AsLong(value);
    if (code == -1 && PyErr_Occurred()) {
        prefix_type_error(parameter);
        return false;
    }
    if (code < 0 || code > std::numeric_limits<std::uint16_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(code);
    return true;
}

bool to_double(PyObject* value, const char* parameter, double& out) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        prefix_type_error(parameter);
        return false;
    }
    out = number;
    return true;
}

bool to_u64(PyObject* value, const char* parameter, std::uint64_t& out) {
    PyRef index;
    if (!PyLong_Check(value)) {
        index = PyRef::steal(PyNumber_Index(value));
        if (!index) {
            prefix_type_error(parameter);
            return false;
        }
        value = index.get();
    }
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(parameter);
        return false;
    }
    out = number;
    return true;
}

constexpr const char* RECORD_REQUEST_PARAMETERS[] = {"method", "path", "status_code",
                                                     "duration_ms"};
constexpr Signature RECORD_REQUEST{"record_request", RECORD_REQUEST_PARAMETERS, 4};

bool to_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& out) {
    PyObject* bound[4];
    return bind(RECORD_REQUEST, args, nargs, kwnames, bound) &&
           to_text(bound[0], "method", out.method) && to_text(bound[1], "path", out.path) &&
           to_status_code(bound[2], "status_code", out.status_code) &&
           to_double(bound[3], "duration_ms", out.duration_ms);
}

bool to_optional_double(PyObject* value, const char* parameter, std::optional<double>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    double number = 0.0;
    if (!to_double(value, parameter, number)) return false;
    out = number;
    return true;
}

}  // namespace arguments
