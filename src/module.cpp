// Module initialisation and the function table of vornik._core: each function
// converts its arguments, calls one internal operation and converts the result.
#include <Python.h>

#include <array>
#include <variant>

#include "aggregator.hpp"
#include "alerts.hpp"
#include "arguments.hpp"
#include "entry_points.hpp"
#include "multiproc.hpp"
#include "prometheus.hpp"
#include "py_ref.hpp"
#include "request_metrics.hpp"
#include "snapshot.hpp"
#include "surface.hpp"
#include "value_classes.hpp"

namespace {

PyObject* hello(PyObject*, PyObject*) {
    // Contract: callers compare the greeting.
    return guarded(
        []() { return PyUnicode_FromString("vornik v0.4.3 \xE2\x80\x94 C++ core running!"); });
}

PyObject* py_snapshot(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const snapshot::Result sample = snapshot::collect();
        if (const auto* error = std::get_if<std::string>(&sample)) {
            PyErr_SetString(PyExc_RuntimeError, error->c_str());
            return nullptr;
        }
        return value_classes::new_snapshot(std::get<snapshot::Snapshot>(sample));
    });
}

PyObject* record_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        arguments::Request request;
        if (!arguments::to_request(args, nargs, kwnames, request)) return nullptr;
        // The shard writer takes its own lock and must be done before the store takes
        // its one.
        multiproc::record(request.status_code, request.duration_ms);
        request_metrics::record(request.method, request.path, request.status_code,
                                request.duration_ms);
        Py_RETURN_NONE;
    });
}

PyObject* get_requests(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        std::vector<request_metrics::RequestMetric> records = request_metrics::get_all();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < records.size(); ++i) {
            PyObject* item = value_classes::new_request_metric(std::move(records[i]));
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
        }
        return list.release();
    });
}

PyObject* clear_requests(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        request_metrics::clear();
        Py_RETURN_NONE;
    });
}

constexpr const char* SET_MAX_REQUESTS_PARAMETERS[] = {"max"};
constexpr arguments::Signature SET_MAX_REQUESTS{"set_max_requests", SET_MAX_REQUESTS_PARAMETERS, 1};

PyObject* set_max_requests(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        std::uint64_t max = 0;
        if (!arguments::bind(SET_MAX_REQUESTS, args, nargs, kwnames, bound) ||
            !arguments::to_u64(bound[0], "max", max))
            return nullptr;
        request_metrics::set_max_requests(max);
        Py_RETURN_NONE;
    });
}

PyObject* get_max_requests(PyObject*, PyObject*) {
    return guarded([]() {
        return PyLong_FromUnsignedLongLong(
            request_metrics::MAX_REQUESTS.load(std::memory_order_relaxed));
    });
}

constexpr const char* SET_MULTIPROC_DIR_PARAMETERS[] = {"dir"};
constexpr arguments::Signature SET_MULTIPROC_DIR{"set_multiproc_dir", SET_MULTIPROC_DIR_PARAMETERS,
                                                 0};

PyObject* set_multiproc_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!arguments::bind(SET_MULTIPROC_DIR, args, nargs, kwnames, bound)) return nullptr;
        std::string_view dir;
        const bool given = bound[0] != nullptr && bound[0] != Py_None;
        if (given && !arguments::to_text(bound[0], "dir", dir)) return nullptr;
        multiproc::set_dir(given ? std::optional<std::string>(dir) : std::nullopt);
        Py_RETURN_NONE;
    });
}

PyObject* get_multiproc_dir(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const std::optional<std::string> dir = multiproc::dir();
        if (!dir) Py_RETURN_NONE;
        return text_to_python(*dir);
    });
}

PyObject* multiproc_enabled(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return PyBool_FromLong(multiproc::dir().has_value()); });
}

PyObject* py_aggregate(PyObject*, PyObject*) {
    return guarded([]() { return value_classes::new_aggregated_metrics(aggregator::compute()); });
}

PyObject* py_metrics_text(PyObject*, PyObject*) {
    return guarded([]() { return text_to_python(prometheus::render()); });
}

constexpr const char* CHECK_ALERTS_PARAMETERS[] = {"cpu_percent", "memory_rss_mb",
                                                   "memory_virtual_mb"};
constexpr arguments::Signature CHECK_ALERTS{"check_alerts", CHECK_ALERTS_PARAMETERS, 0};

PyObject* alert_to_dict(const alerts::Alert& alert) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const PyRef metric = PyRef::steal(text_to_python(alert.metric));
    const PyRef value = PyRef::steal(PyFloat_FromDouble(alert.value));
    const PyRef threshold = PyRef::steal(PyFloat_FromDouble(alert.threshold));
    const PyRef severity = PyRef::steal(text_to_python(alerts::SEVERITY));
    if (!metric || !value || !threshold || !severity ||
        PyDict_SetItemString(dict.get(), "metric", metric.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "value", value.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "threshold", threshold.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "severity", severity.get()) < 0)
        return nullptr;
    return dict.release();
}

PyObject* check_alerts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (!arguments::bind(CHECK_ALERTS, args, nargs, kwnames, bound)) return nullptr;
        std::optional<double> thresholds[3];
        for (std::size_t i = 0; i < 3; ++i)
            if (!arguments::to_optional_double(bound[i], CHECK_ALERTS_PARAMETERS[i], thresholds[i]))
                return nullptr;
        auto outcome = alerts::check_alerts(thresholds[0], thresholds[1], thresholds[2]);
        if (const auto* error = std::get_if<std::string>(&outcome)) {
            PyErr_SetString(PyExc_RuntimeError, error->c_str());
            return nullptr;
        }
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const alerts::Alert& alert : std::get<std::vector<alerts::Alert>>(outcome)) {
            const PyRef item = PyRef::steal(alert_to_dict(alert));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// Contract: the names, signatures and doc strings below are the module's published
// surface; the type stubs and callers' help() output depend on them word for word.

PyMethodDef HELLO = {"hello", hello, METH_NOARGS, "hello()\n--\n\n"};
PyMethodDef SNAPSHOT = {"snapshot", py_snapshot, METH_NOARGS, "snapshot()\n--\n\n"};
PyMethodDef RECORD_REQUEST_DEF = {
    "record_request", as_cfunction(record_request), FASTCALL,
    "record_request(method, path, status_code, duration_ms)\n--\n\n"
    "Records a request. Called by the Python middleware on every request.\n"
    "The method and path texts are borrowed from the Python strings without copying\n"
    "during the call; the store makes the one copy it keeps."};
PyMethodDef GET_REQUESTS = {
    "get_requests", get_requests, METH_NOARGS,
    "get_requests()\n--\n\n"
    "Returns all recorded metrics as a Python list.\n"
    "The records are converted into a list of `RequestMetric` automatically."};
PyMethodDef CLEAR_REQUESTS = {"clear_requests", clear_requests, METH_NOARGS,
                              "clear_requests()\n--\n\n"
                              "Clears the store \xE2\x80\x94 for tests and manual resets."};
PyMethodDef SET_MAX_REQUESTS_DEF = {
    "set_max_requests", as_cfunction(set_max_requests), FASTCALL,
    "set_max_requests(max)\n--\n\n"
    "Sets the maximum number of requests retained in the ring buffer.\n"
    "Once exceeded, the oldest entries are evicted first. Values < 1 clamp to 1."};
PyMethodDef GET_MAX_REQUESTS = {"get_max_requests", get_max_requests, METH_NOARGS,
                                "get_max_requests()\n--\n\n"
                                "Returns the current retention capacity of the request store."};
PyMethodDef SET_MULTIPROC_DIR_DEF = {
    "set_multiproc_dir", as_cfunction(set_multiproc_dir), FASTCALL,
    "set_multiproc_dir(dir=None)\n--\n\n"
    "Enables shared multi-worker aggregation, writing this process's shard into\n"
    "`dir`. Pass `None` to disable. Usually configured via the\n"
    "`VRK_MULTIPROC_DIR` environment variable instead."};
PyMethodDef GET_MULTIPROC_DIR = {
    "get_multiproc_dir", get_multiproc_dir, METH_NOARGS,
    "get_multiproc_dir()\n--\n\n"
    "Returns the active multiproc directory, or `None` when disabled."};
PyMethodDef MULTIPROC_ENABLED = {"multiproc_enabled", multiproc_enabled, METH_NOARGS,
                                 "multiproc_enabled()\n--\n\n"
                                 "True when multi-worker aggregation is active."};
PyMethodDef AGGREGATE = {"aggregate", py_aggregate, METH_NOARGS, "aggregate()\n--\n\n"};
PyMethodDef METRICS_TEXT = {
    "metrics_text", py_metrics_text, METH_NOARGS,
    "metrics_text()\n--\n\n"
    "Returns all current metrics formatted as Prometheus text exposition format.\n"
    "Reads from the global request store and the current process snapshot."};
PyMethodDef CHECK_ALERTS_DEF = {
    "check_alerts", as_cfunction(check_alerts), FASTCALL,
    "check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)\n--\n\n"
    "`check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)`.\n\n"
    "Collects a snapshot of the current process and returns the alerts that fired\n"
    "as a list of dicts: `{\"metric\", \"value\", \"threshold\", \"severity\"}`. Memory\n"
    "thresholds are in megabytes. `severity` is currently always `\"warning\"`."};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* MODULE = nullptr;

bool add_class(PyObject* module, PyObject* all, const char* name, PyObject* type) {
    Py_INCREF(type);
    return add(module, all, name, type);
}

PyObject* build_module() {
    if (!value_classes::ready()) return nullptr;
    PyRef all;
    PyRef module = new_module(MODULE_DEF, all);
    if (!module) return nullptr;
    PyObject* m = module.get();
    PyObject* a = all.get();
    const bool built =
        add_function(m, a, HELLO) && add_function(m, a, SNAPSHOT) &&
        add_class(m, a, "Snapshot", value_classes::snapshot_type()) &&
        add_function(m, a, RECORD_REQUEST_DEF) && add_function(m, a, GET_REQUESTS) &&
        add_function(m, a, CLEAR_REQUESTS) && add_function(m, a, SET_MAX_REQUESTS_DEF) &&
        add_function(m, a, GET_MAX_REQUESTS) &&
        add_class(m, a, "RequestMetric", value_classes::request_metric_type()) &&
        add_function(m, a, SET_MULTIPROC_DIR_DEF) && add_function(m, a, GET_MULTIPROC_DIR) &&
        add_function(m, a, MULTIPROC_ENABLED) && add_function(m, a, AGGREGATE) &&
        add_class(m, a, "AggregatedMetrics", value_classes::aggregated_metrics_type()) &&
        add_function(m, a, METRICS_TEXT) &&
        add(m, a, "PROMETHEUS_CONTENT_TYPE", text_to_python(prometheus::CONTENT_TYPE)) &&
        add_function(m, a, CHECK_ALERTS_DEF);
    return built ? module.release() : nullptr;
}

PyObject* init_module() {
    return init_once(MODULE, "vornik._core", build_module);
}

}  // namespace

PyObject* vornik_core_init() {
    return guarded(init_module);
}
