// One path for every request the surface records, whether a caller hands over checked
// arguments or a middleware hands over what the application answered.
#include "recording.hpp"

#include "multiproc.hpp"
#include "py_ref.hpp"
#include "request_metrics.hpp"
#include "series.hpp"
#include "shard_directory.hpp"
#include "text.hpp"
#include "worker_slots.hpp"

namespace recording {

namespace {

// The longest path and method, in characters, a middleware records. The ring buffer
// keeps the text of every retained request and a client chooses the raw path: 10,000
// requests with 15 kB URLs would hold 150 MB.
constexpr std::size_t MAX_PATH_CHARS = 256;
constexpr std::size_t MAX_METHOD_CHARS = 32;

constexpr std::uint16_t SERVER_ERROR = 500;

std::string notice_message(series::Notice notice) {
    // Contract: operators search their logs for these texts.
    if (notice == series::Notice::file_missing)
        return "vornik: the series table of this process cannot be made in " +
               series::file_problem() +
               "; its requests are missing from vrk_http_requests_total and "
               "vrk_http_request_duration_seconds until it can (tried again every second)";
    const std::string where =
        "; such requests are counted under route=\"<overflow>\" in vrk_http_requests_total "
        "and vrk_http_request_duration_seconds";
    if (notice == series::Notice::route_too_long)
        return "vornik: a route longer than " + std::to_string(series::MAX_ROUTE_BYTES) +
               " bytes was recorded" + where;
    return "vornik: this process reached its limit of " + std::to_string(series::max_series()) +
           " request series (method, route, status); requests of new combinations" + where +
           " (see vornik.routes.configure_series)";
}

std::uint16_t code_in_range(PyObject* number) {
    int overflow = 0;
    const long code = PyLong_AsLongAndOverflow(number, &overflow);
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return SERVER_ERROR;
    }
    return overflow == 0 && code >= 0 && code <= 0xFFFF ? static_cast<std::uint16_t>(code)
                                                        : SERVER_ERROR;
}

// The code before the first space of a status line: ASCII digits, at most 65535.
std::uint16_t status_line_code(std::string_view line) {
    const std::string_view code = line.substr(0, line.find(' '));
    if (code.empty()) return SERVER_ERROR;
    unsigned long value = 0;
    for (const char c : code) {
        if (c < '0' || c > '9') return SERVER_ERROR;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 0xFFFF) return SERVER_ERROR;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

bool log_warning(const std::string& message) {
    const PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    const PyRef logger =
        PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "vornik"));
    if (!logger) return false;
    const PyRef done =
        PyRef::steal(PyObject_CallMethod(logger.get(), "warning", "s", message.c_str()));
    return static_cast<bool>(done);
}

// The shard writer and the series take their own locks and are done before the store
// takes its one.
bool record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms, std::string_view route) {
    multiproc::record(status_code, duration_ms);
    const series::Notice notice = series::record(method, route, status_code, duration_ms);
    request_metrics::record(method, path, status_code, duration_ms);
    return notice == series::Notice::none || log_warning(notice_message(notice));
}

std::int64_t begin_request() {
    const std::int64_t now = worker_slots::begin_request();
    if (worker_slots::claim_due(shard_directory::generation(), shard_directory::checked_second()))
        series::attach();
    return now;
}

std::int64_t end_request() {
    return worker_slots::end_request();
}

std::uint16_t status_of(PyObject* status) {
    if (PyLong_CheckExact(status)) return code_in_range(status);
    if (PyUnicode_CheckExact(status)) {
        Py_ssize_t size = 0;
        const char* line = PyUnicode_AsUTF8AndSize(status, &size);
        if (line == nullptr) {
            PyErr_Clear();  // lone surrogates: not a status line
            return SERVER_ERROR;
        }
        return status_line_code({line, static_cast<std::size_t>(size)});
    }
    if (PyLong_Check(status) && !PyBool_Check(status)) return code_in_range(status);
    return SERVER_ERROR;
}

bool utf8_of(PyObject* value, std::string& storage, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected a str, got %R", value);
        return false;
    }
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
        out = {data, static_cast<std::size_t>(size)};
        return true;
    }
    PyErr_Clear();  // lone surrogates
    const PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "replace"));
    if (!encoded) return false;
    char* data = nullptr;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
    storage.assign(data, static_cast<std::size_t>(size));
    out = storage;
    return true;
}

bool record_response(std::string_view method, std::string_view path, PyObject* status,
                     double duration_ms, std::string_view route) {
    std::string method_storage, path_storage;
    return record(text::capped(method, MAX_METHOD_CHARS, method_storage),
                  text::capped(path, MAX_PATH_CHARS, path_storage), status_of(status), duration_ms,
                  route);
}

}  // namespace recording
