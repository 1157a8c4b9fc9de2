// Binding and conversion of the arguments of the module's fastcall functions.
// Every failure leaves a Python exception set and returns false.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace arguments {

struct Signature {
    const char* function;
    std::span<const char* const> parameters;
    std::size_t required;  // the first `required` parameters must be given
};

// Fills `bound` (one borrowed slot per parameter, nullptr when omitted) from the
// positional arguments and then the keywords.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound);

// The UTF-8 text of a str; valid while `value` lives.
bool to_text(PyObject* value, const char* parameter, std::string_view& out);
bool to_status_code(PyObject* value, const char* parameter, std::uint16_t& out);
bool to_double(PyObject* value, const char* parameter, double& out);
bool to_u64(PyObject* value, const char* parameter, std::uint64_t& out);
// None or absent gives no value.
bool to_optional_double(PyObject* value, const char* parameter, std::optional<double>& out);

// The four arguments of record_request; the texts are borrowed from the Python strings.
struct Request {
    std::string_view method;
    std::string_view path;
    std::uint16_t status_code = 0;
    double duration_ms = 0.0;
};
bool to_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& out);

}  // namespace arguments
