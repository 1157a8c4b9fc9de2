// Recording a finished request from the Python surface: the one call into the shard,
// the series and the store, and the lenient form the middlewares use for whatever
// texts and status an application hands them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace recording {

// Logged with the `vornik` logger, like every warning of the package.
bool log_warning(const std::string& message);

// Records a request in the shard, the series of its method, route and status, and the
// store; the first overflow of the series is logged. False with a Python error set.
bool record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms, std::string_view route);

// The status a middleware records for what the application answered: an int from 0 to
// 65535, or the code of a status line ("404 Not Found"); anything else (None when no
// response was started, a malformed line) counts as the 500 the server turns it into.
std::uint16_t status_of(PyObject* status);

// The UTF-8 text of a str, anything UTF-8 cannot carry (lone surrogates) as "?";
// `storage` keeps a converted text. False with an error set when `value` is not a str.
bool utf8_of(PyObject* value, std::string& storage, std::string_view& out);

// A request a middleware serves starts or ends in this process's figures (in flight,
// busy time): returns the monotonic clock in nanoseconds it was counted at. The start
// also claims this process's worker slot when that is due, so that a worker is in view
// from its first request on.
std::int64_t begin_request();
std::int64_t end_request();

// As record(), with the path and the method cut to the lengths a middleware keeps and
// the status by status_of().
bool record_response(std::string_view method, std::string_view path, PyObject* status,
                     double duration_ms, std::string_view route);

}  // namespace recording
