// Module initialisation and the function table of vornik._routes: requests by method,
// route template and status code, and the document that carries them. It shares all
// state with vornik._core: both are built in the one library their modules link.
#include <Python.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "entry_points.hpp"
#include "histogram.hpp"
#include "listen_queues.hpp"
#include "multiproc.hpp"
#include "prometheus.hpp"
#include "py_ref.hpp"
#include "recording.hpp"
#include "series.hpp"
#include "snapshot.hpp"
#include "surface.hpp"
#include "text.hpp"
#include "worker_files.hpp"
#include "worker_slots.hpp"
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
constexpr arguments::Signature REQUEST_FINISHED{"request_finished", RECORD_REQUEST_PARAMETERS, 5};

// What a middleware records for whatever the application answered: any str, any status.
// A request counted in flight ends first, whatever its arguments turn out to be.
PyObject* record_answered(const arguments::Signature& signature, bool ends_request,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (ends_request) recording::end_request();
        PyObject* bound[5];
        if (!arguments::bind(signature, args, nargs, kwnames, bound)) return nullptr;
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

PyObject* record_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return record_answered(RECORD_RESPONSE, false, args, nargs, kwnames);
}

PyObject* request_started(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        recording::begin_request();
        Py_RETURN_NONE;
    });
}

PyObject* request_finished(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return record_answered(REQUEST_FINISHED, true, args, nargs, kwnames);
}

constexpr const char* GC_PHASE_PARAMETERS[] = {"phase", "info"};
constexpr arguments::Signature GC_PHASE{"gc_phase", GC_PHASE_PARAMETERS, 2};

// A callback of gc.callbacks: ("start" or "stop", details).
PyObject* gc_phase(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        std::string_view phase;
        if (!arguments::bind(GC_PHASE, args, nargs, kwnames, bound) ||
            !arguments::to_text(bound[0], "phase", phase))
            return nullptr;
        if (phase == "start") {
            worker_slots::gc_started();
        } else if (phase == "stop") {
            worker_slots::gc_stopped();
        }
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

// A tuple of `values`, each converted by `convert` (a new reference, or null on error).
template <typename Value, typename Convert>
PyObject* tuple_of(std::span<const Value> values, Convert convert) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = convert(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return tuple.release();
}

PyObject* float_tuple(std::span<const double> values) {
    return tuple_of(values, PyFloat_FromDouble);
}

PyObject* u64_tuple(std::span<const std::uint64_t> values) {
    return tuple_of(values, PyLong_FromUnsignedLongLong);
}

PyObject* get_duration_buckets(PyObject*, PyObject*) {
    return guarded([]() { return float_tuple(series::bounds_s()); });
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

// The format of a document from the optional `openmetrics` argument; false with an error.
bool bind_format(const arguments::Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, prometheus::Format& format) {
    PyObject* bound[1];
    bool openmetrics = false;
    if (!arguments::bind(signature, args, nargs, kwnames, bound) ||
        (bound[0] != nullptr && !arguments::to_truth(bound[0], openmetrics)))
        return false;
    format = openmetrics ? prometheus::Format::openmetrics : prometheus::Format::text;
    return true;
}

// Tables whose bounds differ are left out of the sums; saying so once per process is
// enough to make it visible without filling the log at every scrape.
bool MISMATCH_REPORTED = false;

PyObject* metrics_document(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        prometheus::Format format{};
        if (!bind_format(METRICS_DOCUMENT, args, nargs, kwnames, format)) return nullptr;
        const prometheus::Document document = prometheus::render_document(format);
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

constexpr arguments::Signature WORKER_FAMILIES{"worker_families", METRICS_DOCUMENT_PARAMETERS, 0};

PyObject* worker_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        prometheus::Format format{};
        if (!bind_format(WORKER_FAMILIES, args, nargs, kwnames, format)) return nullptr;
        series::attach();
        return text_to_python(prometheus::render_worker_families(format));
    });
}

// What the middlewares check at start: whether a text names a shard directory at all
// (blank texts do not, by the rule the core applies to VRK_MULTIPROC_DIR), and why the
// core could not keep this process's files there, by trying what it does.
PyObject* check_shard_directory(PyObject*, PyObject* path) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!arguments::to_text(path, "path", text)) return nullptr;
        if (text::is_blank(text)) return Py_BuildValue("(OO)", Py_False, Py_None);
        const int error = worker_files::probe_directory(
            std::string(text), multiproc::SHARD_BYTES + series::file_bytes());
        if (error == 0) return Py_BuildValue("(OO)", Py_True, Py_None);
        return Py_BuildValue("(Os)", Py_True, std::strerror(error));
    });
}

PyObject* register_worker(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        series::attach();
        Py_RETURN_NONE;
    });
}

// Appends a new reference to `list`; false with an error set.
bool append(PyObject* list, PyObject* item) {
    const PyRef owned = PyRef::steal(item);
    return owned && PyList_Append(list, owned.get()) == 0;
}

// The live workers' shards and the held slots of a directory, read without becoming one
// of its workers.
PyObject* read_directory(PyObject*, PyObject* path) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!arguments::to_text(path, "path", text)) return nullptr;
        const std::string dir(text);
        const auto directory = worker_files::open_directory(dir, false);
        if (!directory) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, dir.c_str());
        const PyRef shards = PyRef::steal(PyList_New(0));
        const PyRef slots = PyRef::steal(PyList_New(0));
        if (!shards || !slots) return nullptr;
        for (const multiproc::Shard& shard : multiproc::live_shards(*directory))
            if (!append(shards.get(), Py_BuildValue("(NiKKN)", text_to_python(shard.name),
                                                    static_cast<int>(shard.pid), shard.requests,
                                                    shard.errors, u64_tuple(shard.buckets))))
                return nullptr;
        for (const worker_slots::Holder& holder : worker_slots::holders(*directory)) {
            PyObject* activity =
                holder.activity
                    ? Py_BuildValue("(Kdd)", holder.activity->in_flight,
                                    holder.activity->busy_seconds, holder.activity->gc_seconds)
                    : (Py_INCREF(Py_None), Py_None);
            if (!append(slots.get(), Py_BuildValue("(IiN)", holder.slot,
                                                   static_cast<int>(holder.pid), activity)))
                return nullptr;
        }
        return Py_BuildValue("(OO)", shards.get(), slots.get());
    });
}

PyObject* process_figures(PyObject*, PyObject* pid) {
    return guarded([&]() -> PyObject* {
        std::uint64_t number = 0;
        if (!arguments::to_u64(pid, "pid", number)) return nullptr;
        if (number == 0 || number > INT32_MAX) Py_RETURN_NONE;
        const auto figures = snapshot::figures_of(static_cast<std::uint32_t>(number));
        if (!figures) Py_RETURN_NONE;
        PyObject* open_fds = figures->open_fds ? PyLong_FromUnsignedLongLong(*figures->open_fds)
                                               : (Py_INCREF(Py_None), Py_None);
        return Py_BuildValue("(dKKNd)", figures->cpu_seconds, figures->memory_rss, figures->threads,
                             open_fds, figures->start_time_seconds);
    });
}

// The listening sockets among the descriptors of the given processes.
PyObject* listen_queues_of(PyObject*, PyObject* pids) {
    return guarded([&]() -> PyObject* {
        const PyRef iterator = PyRef::steal(PyObject_GetIter(pids));
        if (!iterator) return nullptr;
        std::vector<std::uint64_t> inodes;
        while (const PyRef pid = PyRef::steal(PyIter_Next(iterator.get()))) {
            std::uint64_t number = 0;
            if (!arguments::to_u64(pid.get(), "pid", number)) return nullptr;
            if (number == 0 || number > INT32_MAX) continue;
            const auto found = snapshot::socket_inodes_of(static_cast<std::uint32_t>(number));
            inodes.insert(inodes.end(), found.begin(), found.end());
        }
        if (PyErr_Occurred()) return nullptr;
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const listen_queues::Queue& queue : listen_queues::of_sockets(inodes)) {
            PyObject* limit = queue.limit ? PyLong_FromUnsignedLongLong(*queue.limit)
                                          : (Py_INCREF(Py_None), Py_None);
            if (!append(list.get(),
                        Py_BuildValue("(NKN)", text_to_python(queue.address), queue.length, limit)))
                return nullptr;
        }
        return list.release();
    });
}

PyObject* child_pids(PyObject*, PyObject* pid) {
    return guarded([&]() -> PyObject* {
        std::uint64_t number = 0;
        if (!arguments::to_u64(pid, "pid", number)) return nullptr;
        const std::vector<std::uint32_t> children =
            number > UINT32_MAX ? std::vector<std::uint32_t>{}
                                : snapshot::children_of(static_cast<std::uint32_t>(number));
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const std::uint32_t child : children)
            if (!append(list.get(), PyLong_FromUnsignedLong(child))) return nullptr;
        return list.release();
    });
}

constexpr const char* QUANTILE_PARAMETERS[] = {"bounds", "counts", "q", "maximum"};
constexpr arguments::Signature QUANTILE{"histogram_quantile", QUANTILE_PARAMETERS, 3};

PyObject* histogram_quantile(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        std::vector<double> bounds, counts;
        double q = 0.0, maximum = std::nan("");
        if (!arguments::bind(QUANTILE, args, nargs, kwnames, bound) ||
            !arguments::to_double_list(bound[0], "bounds", bounds) ||
            !arguments::to_double_list(bound[1], "counts", counts) ||
            !arguments::to_double(bound[2], "q", q) ||
            (bound[3] != nullptr && !arguments::to_double(bound[3], "maximum", maximum)))
            return nullptr;
        if (counts.size() != bounds.size() + 1) {
            PyErr_SetString(PyExc_ValueError, "counts must hold one more item than bounds");
            return nullptr;
        }
        return PyFloat_FromDouble(histogram::quantile<double>(bounds, counts, q, maximum));
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
PyMethodDef REQUEST_STARTED = {
    "request_started", request_started, METH_NOARGS,
    "request_started()\n--\n\n"
    "Counts a request of this process in flight, as the middlewares do when the server\n"
    "hands one over: vrk_worker_requests_in_flight and vrk_worker_busy_seconds_total of\n"
    "its worker slot. Each is ended by one request_finished()."};
PyMethodDef REQUEST_FINISHED_DEF = {
    "request_finished", as_cfunction(request_finished), FASTCALL,
    "request_finished(method, path, status_code, duration_ms, route)\n--\n\n"
    "Ends a request counted by request_started() and records it as record_response()."};
PyMethodDef GC_PHASE_DEF = {
    "gc_phase", as_cfunction(gc_phase), FASTCALL,
    "gc_phase(phase, info)\n--\n\n"
    "A callback for gc.callbacks: the time between a collection's \"start\" and \"stop\"\n"
    "counts in vrk_worker_gc_seconds_total of this process's worker slot."};
PyMethodDef LISTEN_QUEUES = {
    "listen_queues", listen_queues_of, METH_O,
    "listen_queues(pids, /)\n--\n\n"
    "The listening TCP and UNIX sockets among the descriptors of the processes `pids`, as\n"
    "(address, waiting connections, limit), by address; the limit is None where the\n"
    "system shows none."};
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
    "shard directory is set, and then the families of every live worker. The text\n"
    "format 0.0.4, or OpenMetrics 1.0."};

PyMethodDef WORKER_FAMILIES_DEF = {
    "worker_families", as_cfunction(worker_families), FASTCALL,
    "worker_families(openmetrics=False)\n--\n\n"
    "The families of every live worker of the shard directory, labelled by worker slot,\n"
    "as metrics_document() ends with them; empty without a shard directory. The calling\n"
    "process takes its slot first, so it is always listed."};
PyMethodDef CHECK_SHARD_DIRECTORY = {
    "check_shard_directory", check_shard_directory, METH_O,
    "check_shard_directory(path, /)\n--\n\n"
    "Whether `path` names a shard directory (a blank text names none) and, when it does,\n"
    "the system's reason why worker files cannot be kept there, or None when they can.\n"
    "Tries what a worker does: creates the directory, then a file of a worker's size."};

PyMethodDef REGISTER_WORKER = {
    "register_worker", register_worker, METH_NOARGS,
    "register_worker()\n--\n\n"
    "Makes sure this process holds its series table and its worker slot in the current\n"
    "shard directory, as its first recorded request would."};
PyMethodDef READ_DIRECTORY = {
    "read_directory", read_directory, METH_O,
    "read_directory(path, /)\n--\n\n"
    "The shards of the live workers of a shard directory, as (name, pid, requests, errors,\n"
    "buckets) with the non-cumulative counts of SHARD_BOUNDS_MS and the overflow, and the\n"
    "held worker slots, as (slot, pid, activity): activity is (requests in flight, busy\n"
    "seconds, gc seconds), or None for a slot without figures. Only reads: creates, locks\n"
    "and folds nothing."};
PyMethodDef PROCESS_FIGURES = {
    "process_figures", process_figures, METH_O,
    "process_figures(pid, /)\n--\n\n"
    "(cpu_seconds, rss_bytes, threads, open_fds, start_time_seconds) of a process from\n"
    "/proc, or None without it; open_fds is None where its descriptors may not be listed."};
PyMethodDef CHILD_PIDS = {"child_pids", child_pids, METH_O,
                          "child_pids(pid, /)\n--\n\n"
                          "The pids of the processes whose parent is `pid`, from /proc."};
PyMethodDef HISTOGRAM_QUANTILE = {
    "histogram_quantile", as_cfunction(histogram_quantile), FASTCALL,
    "histogram_quantile(bounds, counts, q, maximum=nan)\n--\n\n"
    "Quantile q of a histogram with non-cumulative counts, one per upper bound and one\n"
    "above the last, interpolated in its bucket as the core does for its percentiles;\n"
    "above the last bound up to `maximum` (the largest value seen), or the last bound\n"
    "when that is not known. 0 without counts."};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_routes", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* MODULE = nullptr;

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
        add_function(m, a, WORKER_FAMILIES_DEF) && add_function(m, a, CHECK_SHARD_DIRECTORY) &&
        add_function(m, a, REGISTER_WORKER) && add_function(m, a, READ_DIRECTORY) &&
        add_function(m, a, PROCESS_FIGURES) && add_function(m, a, CHILD_PIDS) &&
        add_function(m, a, HISTOGRAM_QUANTILE) && add_function(m, a, REQUEST_STARTED) &&
        add_function(m, a, REQUEST_FINISHED_DEF) && add_function(m, a, GC_PHASE_DEF) &&
        add_function(m, a, LISTEN_QUEUES) &&
        add(m, a, "SHARD_BOUNDS_MS", float_tuple(multiproc::BUCKET_BOUNDS_MS)) &&
        add(m, a, "OPENMETRICS_CONTENT_TYPE",
            text_to_python(prometheus::OPENMETRICS_CONTENT_TYPE)) &&
        add(m, a, "WsgiMiddleware", wsgi_middleware::middleware_type());
    return built ? module.release() : nullptr;
}

PyObject* init_module() {
    return init_once(MODULE, "vornik._routes", build_module);
}

}  // namespace

PyObject* vornik_routes_init() {
    return guarded(init_module);
}
