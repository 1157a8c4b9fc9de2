// Module initialisation and the function table of vornik._routes: requests by method,
// route template and status code, and the document that carries them. It shares all
// state with vornik._core: both are built in the one library their modules link.
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "entry_points.hpp"
#include "multiproc.hpp"
#include "prometheus.hpp"
#include "py_ref.hpp"
#include "recording.hpp"
#include "series.hpp"
#include "surface.hpp"
#include "wsgi_middleware.hpp"

namespace {

constexpr const char* RECORD_REQUEST_PARAMETERS[] = {"method", "path", "status_code", "duration_ms",
                                                     "route"};
constexpr arguments::Signature RECORD_REQUEST{"record_request", RECORD_REQUEST_PARAMETERS, 5};

// The one call per request: the shard, the series, then the store (the shard writer and
// the series take their own locks and are done before the store takes its one).
PyObject* record_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[5];
        if (!arguments::bind(RECORD_REQUEST, args, nargs, kwnames, bound)) return nullptr;
        std::string_view method, path, route;
        std::uint16_t status_code = 0;
        double duration_ms = 0.0;
        if (!arguments::to_text(bound[0], "method", method) ||
            !arguments::to_text(bound[1], "path", path) ||
            !arguments::to_status_code(bound[2], "status_code", status_code) ||
            !arguments::to_double(bound[3], "duration_ms", duration_ms) ||
            !arguments::to_text(bound[4], "route", route))
            return nullptr;
        if (!recording::record(method, path, status_code, duration_ms, route)) return nullptr;
        Py_RETURN_NONE;
    });
}

constexpr arguments::Signature RECORD_RESPONSE{"record_response", RECORD_REQUEST_PARAMETERS, 5};

// What a middleware records for whatever the application answered: any str, any status.
PyObject* record_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[5];
        if (!arguments::bind(RECORD_RESPONSE, args, nargs, kwnames, bound)) return nullptr;
        std::string method_storage, path_storage, route_storage;
        std::string_view method, path, route;
        double duration_ms = 0.0;
        if (!recording::utf8_of(bound[0], method_storage, method) ||
            !recording::utf8_of(bound[1], path_storage, path) ||
            !arguments::to_double(bound[3], "duration_ms", duration_ms) ||
            !recording::utf8_of(bound[4], route_storage, route) ||
            !recording::record_response(method, path, bound[2], duration_ms, route))
            return nullptr;
        Py_RETURN_NONE;
    });
}

constexpr const char* CONFIGURE_PARAMETERS[] = {"duration_buckets", "max_series"};
constexpr arguments::Signature CONFIGURE{"configure_series", CONFIGURE_PARAMETERS, 0};

PyObject* configure_series(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!arguments::bind(CONFIGURE, args, nargs, kwnames, bound)) return nullptr;
        std::optional<std::vector<double>> bounds_s;
        std::optional<std::uint64_t> max_series;
        if (bound[0] != nullptr && bound[0] != Py_None) {
            bounds_s.emplace();
            if (!arguments::to_double_list(bound[0], "duration_buckets", *bounds_s)) return nullptr;
        }
        if (bound[1] != nullptr && bound[1] != Py_None) {
            max_series.emplace();
            if (!arguments::to_u64(bound[1], "max_series", *max_series)) return nullptr;
        }
        if (const auto error = series::configure(bounds_s, max_series)) {
            PyErr_SetString(PyExc_ValueError, error->c_str());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* get_duration_buckets(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const std::vector<double> bounds = series::bounds_s();
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(bounds.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(bounds[i]);
            if (item == nullptr) return nullptr;
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
        }
        return tuple.release();
    });
}

PyObject* get_max_series(PyObject*, PyObject*) {
    return guarded([]() { return PyLong_FromUnsignedLongLong(series::max_series()); });
}

PyObject* series_count(PyObject*, PyObject*) {
    return guarded([]() { return PyLong_FromUnsignedLongLong(series::count()); });
}

PyObject* clear_series(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        series::clear();
        Py_RETURN_NONE;
    });
}

constexpr const char* METRICS_DOCUMENT_PARAMETERS[] = {"openmetrics"};
constexpr arguments::Signature METRICS_DOCUMENT{"metrics_document", METRICS_DOCUMENT_PARAMETERS, 0};

// Tables whose bounds differ are left out of the sums; saying so once per process is
// enough to make it visible without filling the log at every scrape.
bool MISMATCH_REPORTED = false;

PyObject* metrics_document(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bool openmetrics = false;
        if (!arguments::bind(METRICS_DOCUMENT, args, nargs, kwnames, bound) ||
            (bound[0] != nullptr && !arguments::to_truth(bound[0], openmetrics)))
            return nullptr;
        const prometheus::Document document = prometheus::render_document(
            openmetrics ? prometheus::Format::openmetrics : prometheus::Format::text);
        if (document.mismatched_tables > 0 && !MISMATCH_REPORTED) {
            MISMATCH_REPORTED = true;
            // Contract: operators search their logs for this text.
            if (!recording::log_warning(
                    "vornik: " + std::to_string(document.mismatched_tables) +
                    " worker series tables in " + multiproc::dir().value_or("") +
                    " use other duration buckets than this process; their requests "
                    "are left out of vrk_http_requests_total and "
                    "vrk_http_request_duration_seconds"))
                return nullptr;
        }
        return text_to_python(document.text);
    });
}

// Contract: the names, signatures and doc strings below are the module's published
// surface; the type stubs and callers' help() output depend on them word for word.
PyMethodDef RECORD_REQUEST_DEF = {
    "record_request", as_cfunction(record_request), FASTCALL,
    "record_request(method, path, status_code, duration_ms, route)\n--\n\n"
    "Records a finished request with one call: in the request store and the shard as\n"
    "vornik._core.record_request does, and in the series of its method, route template\n"
    "and status code."};
PyMethodDef RECORD_RESPONSE_DEF = {
    "record_response", as_cfunction(record_response), FASTCALL,
    "record_response(method, path, status_code, duration_ms, route)\n--\n\n"
    "Records a finished request as the middlewares do, whatever the application answered:\n"
    "a status that is not a number from 0 to 65535 (a status line gives its code) counts\n"
    "as 500, the path is cut to 256 characters and the method to 32, and characters\n"
    "UTF-8 cannot carry become '?'."};
PyMethodDef CONFIGURE_DEF = {
    "configure_series", as_cfunction(configure_series), FASTCALL,
    "configure_series(duration_buckets=None, max_series=None)\n--\n\n"
    "Sets the latency bucket bounds in seconds and the number of series per process.\n"
    "Only before the first request of the process is recorded (or after clear_series())."};
PyMethodDef GET_DURATION_BUCKETS = {"get_duration_buckets", get_duration_buckets, METH_NOARGS,
                                    "get_duration_buckets()\n--\n\n"
                                    "The latency bucket bounds in seconds."};
PyMethodDef GET_MAX_SERIES = {"get_max_series", get_max_series, METH_NOARGS,
                              "get_max_series()\n--\n\n"
                              "The number of series a process keeps apart; requests beyond\n"
                              "it are counted in one overflow series."};
PyMethodDef SERIES_COUNT = {"series_count", series_count, METH_NOARGS,
                            "series_count()\n--\n\n"
                            "Series of this process, the overflow series included."};
PyMethodDef CLEAR_SERIES = {
    "clear_series", clear_series, METH_NOARGS,
    "clear_series()\n--\n\n"
    "Forgets this process's series \xE2\x80\x94 for tests and manual resets."};
PyMethodDef METRICS_DOCUMENT_DEF = {
    "metrics_document", as_cfunction(metrics_document), FASTCALL,
    "metrics_document(openmetrics=False)\n--\n\n"
    "The metrics document the middlewares serve: the families of metrics_text(), then\n"
    "requests and latency by method, route and status, merged over all workers when a\n"
    "shard directory is set. The text format 0.0.4, or OpenMetrics 1.0."};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_routes", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* MODULE = nullptr;
std::int64_t FIRST_INTERPRETER = -1;

PyObject* build_module() {
    PyRef all;
    PyRef module = new_module(MODULE_DEF, all);
    if (!module) return nullptr;
    PyObject* m = module.get();
    PyObject* a = all.get();
    const bool built =
        add_function(m, a, RECORD_REQUEST_DEF) && add_function(m, a, RECORD_RESPONSE_DEF) &&
        add_function(m, a, CONFIGURE_DEF) && add_function(m, a, GET_DURATION_BUCKETS) &&
        add_function(m, a, GET_MAX_SERIES) && add_function(m, a, SERIES_COUNT) &&
        add_function(m, a, CLEAR_SERIES) && add_function(m, a, METRICS_DOCUMENT_DEF) &&
        add(m, a, "OPENMETRICS_CONTENT_TYPE",
            text_to_python(prometheus::OPENMETRICS_CONTENT_TYPE)) &&
        add(m, a, "WsgiMiddleware", wsgi_middleware::middleware_type());
    return built ? module.release() : nullptr;
}

PyObject* init_module() {
    // Contract: callers match this message.
    return init_once(MODULE, FIRST_INTERPRETER,
                     "vornik._routes does not support sub-interpreters: it keeps process-wide "
                     "state and is already loaded in the main interpreter",
                     build_module);
}

}  // namespace

PyObject* vornik_routes_init() {
    return guarded(init_module);
}
