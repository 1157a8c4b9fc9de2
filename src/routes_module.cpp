// Module initialisation and the function table of vornik._routes: requests by method,
// route template and status code, and the document that carries them. It shares all
// state with vornik._core: both are built in the one library their modules link.
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app_metrics.hpp"
#include "arguments.hpp"
#include "directory_reader.hpp"
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
// Application metrics declared in more than one way, each reported once.
std::set<std::string> MISMATCHED_METRICS;

// The document as text, after the warnings its mismatched tables and metrics call for;
// null with an error set.
PyObject* document_to_python(const prometheus::Document& document, const std::string& dir) {
    if (document.mismatched_tables > 0 && !MISMATCH_REPORTED) {
        MISMATCH_REPORTED = true;
        // Contract: operators search their logs for this text.
        if (!recording::log_warning("vornik: " + std::to_string(document.mismatched_tables) +
                                    " worker series tables in " + dir +
                                    " use other duration buckets than this process; their "
                                    "requests are left out of vrk_http_requests_total and "
                                    "vrk_http_request_duration_seconds"))
            return nullptr;
    }
    for (const std::string& name : document.mismatched_metrics) {
        if (!MISMATCHED_METRICS.insert(name).second) continue;
        // Contract: operators search their logs for this text.
        if (!recording::log_warning("vornik: workers in " + dir + " declare the metric " + name +
                                    " in more than one way (type, labels, buckets, unit or "
                                    "gauge mode); they are not added together: one "
                                    "declaration is shown, this process's when it has the "
                                    "metric"))
            return nullptr;
    }
    return text_to_python(document.text);
}

PyObject* metrics_document(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        prometheus::Format format{};
        if (!bind_format(METRICS_DOCUMENT, args, nargs, kwnames, format)) return nullptr;
        return document_to_python(prometheus::render_document(format),
                                  multiproc::dir().value_or(""));
    });
}

constexpr const char* DIRECTORY_DOCUMENT_PARAMETERS[] = {"path", "openmetrics"};
constexpr arguments::Signature DIRECTORY_DOCUMENT{"directory_document",
                                                  DIRECTORY_DOCUMENT_PARAMETERS, 1};

PyObject* directory_document(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        bool openmetrics = false;
        std::string_view path;
        if (!arguments::bind(DIRECTORY_DOCUMENT, args, nargs, kwnames, bound) ||
            !arguments::to_text(bound[0], "path", path) ||
            (bound[1] != nullptr && !arguments::to_truth(bound[1], openmetrics)))
            return nullptr;
        const std::string dir(path);
        const auto format =
            openmetrics ? prometheus::Format::openmetrics : prometheus::Format::text;
        return document_to_python(prometheus::render_directory_document(dir, format), dir);
    });
}

// This process's files in the current shard directory, as its first request would make
// them: its shard (when the directory was chosen by the environment and nothing asked
// for it yet), its series table and its worker slot.
void attach_worker() {
    multiproc::dir();
    series::attach();
}

constexpr arguments::Signature WORKER_FAMILIES{"worker_families", METRICS_DOCUMENT_PARAMETERS, 0};

PyObject* worker_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        prometheus::Format format{};
        if (!bind_format(WORKER_FAMILIES, args, nargs, kwnames, format)) return nullptr;
        attach_worker();
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
        attach_worker();
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
        const directory_reader::Reading reading = directory_reader::read(
            *directory, directory_reader::Buckets::workers, worker_files::Tidy::look);
        const PyRef shards = PyRef::steal(PyList_New(0));
        const PyRef slots = PyRef::steal(PyList_New(0));
        if (!shards || !slots) return nullptr;
        for (const multiproc::Shard& shard : reading.shards.live)
            if (!append(shards.get(), Py_BuildValue("(NiKKN)", text_to_python(shard.name),
                                                    static_cast<int>(shard.pid), shard.requests,
                                                    shard.errors, u64_tuple(shard.buckets))))
                return nullptr;
        for (const worker_slots::Holder& holder : reading.holders) {
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

// ---- The application's metrics ----------------------------------------------------------

// A metric of the application: what `labels()` needs to find a series.
struct AppMetric {
    PyObject_HEAD std::uint32_t metric;
    PyObject* name;         // str
    PyObject* label_names;  // tuple of str
    PyObject* series_type;  // the (sub)type of its series objects
};

struct AppSeries {
    PyObject_HEAD std::uint32_t series;
};

PyTypeObject* APP_METRIC_TYPE = nullptr;
PyTypeObject* SERIES_TYPES[4] = {};  // by app_metrics::Type
// The one object of each series, by series id: metrics live as long as the process.
std::vector<PyObject*> SERIES_OBJECTS;

template <typename Function>
void* type_slot(Function function) {
    return reinterpret_cast<void*>(function);
}

void dealloc_plain(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == APP_METRIC_TYPE) {
        auto* metric = reinterpret_cast<AppMetric*>(self);
        Py_CLEAR(metric->name);
        Py_CLEAR(metric->label_names);
        Py_CLEAR(metric->series_type);
    }
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

std::optional<app_metrics::Type> type_named(std::string_view kind) {
    for (std::size_t i = 1; i < app_metrics::TYPE_NAMES.size(); ++i)
        if (app_metrics::TYPE_NAMES[i] == kind) return static_cast<app_metrics::Type>(i);
    return std::nullopt;
}

std::optional<app_metrics::Mode> mode_named(std::string_view mode) {
    for (std::size_t i = 0; i < app_metrics::MODE_NAMES.size(); ++i)
        if (app_metrics::MODE_NAMES[i] == mode) return static_cast<app_metrics::Mode>(i);
    return std::nullopt;
}

PyObject* value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

PyObject* new_app_metric(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"name",       "documentation", "kind",
                                         "labelnames", "buckets",       "mode",
                                         "unit",       "series_type",   nullptr};
        PyObject *name, *help, *kind, *label_names, *buckets, *mode, *unit, *series_type;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUUOOUUO:AppMetric",
                                         const_cast<char**>(keywords), &name, &help, &kind,
                                         &label_names, &buckets, &mode, &unit, &series_type))
            return nullptr;
        app_metrics::Declaration declaration;
        std::string_view text;
        const auto text_of = [&](PyObject* value, const char* what, std::string& out) {
            if (!arguments::to_text(value, what, text)) return false;
            out = text;
            return true;
        };
        std::string kind_text, mode_text;
        if (!text_of(name, "name", declaration.name) ||
            !text_of(help, "documentation", declaration.help) ||
            !text_of(kind, "kind", kind_text) || !text_of(mode, "mode", mode_text) ||
            !text_of(unit, "unit", declaration.unit) ||
            !arguments::to_double_list(buckets, "buckets", declaration.bounds))
            return nullptr;
        const auto metric_type = type_named(kind_text);
        const auto metric_mode = mode_named(mode_text);
        if (!metric_type) return value_error("kind must be counter, gauge or histogram");
        if (!metric_mode)
            return value_error("metric " + declaration.name + ": unknown mode " + mode_text);
        declaration.type = *metric_type;
        declaration.mode = *metric_mode;
        PyTypeObject* base = SERIES_TYPES[static_cast<std::size_t>(*metric_type)];
        if (!PyType_Check(series_type) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(series_type), base)) {
            PyErr_SetString(PyExc_TypeError,
                            "series_type must derive from the series type of its kind");
            return nullptr;
        }
        PyRef labels = PyRef::steal(PySequence_Tuple(label_names));
        if (!labels) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_Size(labels.get()); ++i) {
            if (!text_of(PyTuple_GetItem(labels.get(), i), "labelnames", kind_text)) return nullptr;
            declaration.label_names.push_back(kind_text);
        }
        auto declared = app_metrics::declare(declaration);
        if (const auto* error = std::get_if<std::string>(&declared)) return value_error(*error);
        PyObject* self = PyType_GenericAlloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* metric = reinterpret_cast<AppMetric*>(self);
        metric->metric = std::get<std::uint32_t>(declared);
        Py_INCREF(name);
        metric->name = name;
        metric->label_names = labels.release();
        Py_INCREF(series_type);
        metric->series_type = series_type;
        return self;
    });
}

PyObject* series_object(PyObject* series_type, std::uint32_t id) {
    if (SERIES_OBJECTS.size() <= id) SERIES_OBJECTS.resize(id + 1, nullptr);
    PyObject*& object = SERIES_OBJECTS[id];
    if (object == nullptr) {
        object = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(series_type), 0);
        if (object == nullptr) return nullptr;
        reinterpret_cast<AppSeries*>(object)->series = id;
    }
    Py_INCREF(object);
    return object;
}

// A label value as its text: a str as it is, anything else as str() gives it.
bool label_text(PyObject* value, PyRef& converted, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        converted = PyRef::steal(PyObject_Str(value));
        if (!converted) return false;
        value = converted.get();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

PyObject* metric_labels(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto* metric = reinterpret_cast<AppMetric*>(self);
        const Py_ssize_t count = PyTuple_Size(metric->label_names);
        const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
        if (nargs > 0 && keywords > 0) {
            PyErr_Format(PyExc_ValueError,
                         "metric %U: label values go by position or by name, not both",
                         metric->name);
            return nullptr;
        }
        if (nargs + keywords != count) {
            PyErr_Format(PyExc_ValueError, "metric %U has the labels %R: %zd values given",
                         metric->name, metric->label_names, nargs + keywords);
            return nullptr;
        }
        PyObject* ordered[app_metrics::MAX_LABELS];
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (keywords == 0) {
                ordered[i] = args[i];
                continue;
            }
            PyObject* label = PyTuple_GetItem(metric->label_names, i);
            ordered[i] = nullptr;
            for (Py_ssize_t k = 0; k < keywords && ordered[i] == nullptr; ++k)
                if (PyUnicode_Compare(PyTuple_GetItem(kwnames, k), label) == 0)
                    ordered[i] = args[k];
            if (ordered[i] == nullptr) {
                PyErr_Format(PyExc_ValueError, "metric %U has the labels %R, not %R", metric->name,
                             metric->label_names, kwnames);
                return nullptr;
            }
        }
        PyRef converted[app_metrics::MAX_LABELS];
        std::string_view values[app_metrics::MAX_LABELS];
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!label_text(ordered[i], converted[i], values[i])) {
                if (PyErr_ExceptionMatches(PyExc_UnicodeError)) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_ValueError, "metric %U: label values must be UTF-8 text",
                                 metric->name);
                }
                return nullptr;
            }
        }
        const auto found = app_metrics::series_of(
            metric->metric,
            std::span<const std::string_view>(values, static_cast<std::size_t>(count)));
        if (const auto* error = std::get_if<std::string>(&found)) return value_error(*error);
        const auto [series, first_overflow] = std::get<app_metrics::Found>(found);
        if (first_overflow) {
            const PyRef name = PyRef::steal(PyUnicode_AsUTF8String(metric->name));
            // Contract: operators search their logs for this text.
            if (!name || !recording::log_warning(
                             "vornik: metric " + std::string(PyBytes_AsString(name.get())) +
                             " has more label sets in this process than it keeps apart (" +
                             std::to_string(app_metrics::MAX_LABEL_SETS) +
                             ", or what room its metrics file has left); the next ones are "
                             "counted in the series whose label values are all \"" +
                             std::string(app_metrics::OVERFLOW_VALUE) + "\""))
                return nullptr;
        }
        return series_object(metric->series_type, series);
    });
}

// The one number a series method takes, by position or as the keyword `name`; `fallback`
// when it may be left out and is. With `exemplar`, an exemplar may follow (a dict or
// None): accepted and dropped, as prometheus_client's multiprocess mode drops it, so
// that calls written for prometheus_client work unchanged. False with an error set.
bool number_argument(const char* name, bool exemplar, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::optional<double> fallback, double& out) {
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    PyObject* number = nargs >= 1 ? args[0] : nullptr;
    PyObject* given_exemplar = nargs >= 2 ? args[1] : nullptr;
    bool fits = nargs <= (exemplar ? 2 : 1);
    for (Py_ssize_t k = 0; fits && k < keywords; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (number == nullptr && PyUnicode_CompareWithASCIIString(key, name) == 0)
            number = args[nargs + k];
        else if (exemplar && given_exemplar == nullptr &&
                 PyUnicode_CompareWithASCIIString(key, "exemplar") == 0)
            given_exemplar = args[nargs + k];
        else
            fits = false;
    }
    if (!fits || (number == nullptr && !fallback)) {
        PyErr_Format(PyExc_TypeError,
                     exemplar ? "expected %s and at most an exemplar" : "expected one argument, %s",
                     name);
        return false;
    }
    if (given_exemplar != nullptr && given_exemplar != Py_None && !PyDict_Check(given_exemplar)) {
        PyErr_SetString(PyExc_TypeError, "an exemplar is a dict of label names and values");
        return false;
    }
    if (number == nullptr) {
        out = *fallback;
        return true;
    }
    out = PyFloat_AsDouble(number);
    return !(out == -1.0 && PyErr_Occurred());
}

std::uint32_t series_id(PyObject* self) {
    return reinterpret_cast<AppSeries*>(self)->series;
}

// What a series method that takes one number does with it.
enum class Change { add_non_negative, add, subtract, set, observe };

template <Change change>
PyObject* change_series(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    constexpr bool required = change == Change::set || change == Change::observe;
    double number = 0.0;
    constexpr bool exemplar = change == Change::add_non_negative || change == Change::observe;
    if (!number_argument(change == Change::set ? "value" : "amount", exemplar, args, nargs, kwnames,
                         required ? std::nullopt : std::optional<double>(1.0), number))
        return nullptr;
    const std::uint32_t series = series_id(self);
    if constexpr (change == Change::add_non_negative) {
        if (number < 0.0) {
            // prometheus_client's words, which callers may match.
            PyErr_SetString(PyExc_ValueError,
                            "Counters can only be incremented by non-negative amounts.");
            return nullptr;
        }
    }
    if constexpr (change == Change::set) {
        app_metrics::set(series, number);
    } else if constexpr (change == Change::observe) {
        app_metrics::observe(series, number);
    } else {
        app_metrics::add(series, change == Change::subtract ? -number : number);
    }
    Py_RETURN_NONE;
}

PyObject* gauge_set_to_current_time(PyObject* self, PyObject*) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    app_metrics::set(series_id(self), std::chrono::duration<double>(since).count());
    Py_RETURN_NONE;
}

PyObject* series_get(PyObject* self, PyObject*) {
    return guarded([&]() { return PyFloat_FromDouble(app_metrics::value_of(series_id(self))); });
}

#define SERIES_METHOD(name, function, flags, doc) \
    { name, as_cfunction(function), flags, doc }

constexpr const char* GET_DOC =
    "get($self)\n--\n\nThis process's value of the series; a histogram's count.";

PyMethodDef COUNTER_METHODS[] = {
    SERIES_METHOD(
        "inc", change_series<Change::add_non_negative>, FASTCALL,
        "inc($self, amount=1, exemplar=None)\n--\n\nAdds a non-negative amount; an exemplar is "
        "dropped."),
    SERIES_METHOD("get", series_get, METH_NOARGS, GET_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef GAUGE_METHODS[] = {
    SERIES_METHOD("inc", change_series<Change::add>, FASTCALL,
                  "inc($self, amount=1)\n--\n\nAdds an amount."),
    SERIES_METHOD("dec", change_series<Change::subtract>, FASTCALL,
                  "dec($self, amount=1)\n--\n\nSubtracts an amount."),
    SERIES_METHOD("set", change_series<Change::set>, FASTCALL,
                  "set($self, value)\n--\n\nSets the value."),
    SERIES_METHOD("set_to_current_time", gauge_set_to_current_time, METH_NOARGS,
                  "set_to_current_time($self)\n--\n\nSets the value to the Unix time in seconds."),
    SERIES_METHOD("get", series_get, METH_NOARGS, GET_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef HISTOGRAM_METHODS[] = {
    SERIES_METHOD(
        "observe", change_series<Change::observe>, FASTCALL,
        "observe($self, amount, exemplar=None)\n--\n\nCounts one observation of `amount`; an "
        "exemplar is dropped."),
    SERIES_METHOD("get", series_get, METH_NOARGS, GET_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef METRIC_METHODS[] = {
    SERIES_METHOD("labels", metric_labels, FASTCALL,
                  "labels($self, /, *values, **by_name)\n--\n\n"
                  "The series of these label values, by position or by label name, made when\n"
                  "new; past the label sets a process keeps apart, the overflow series."),
    {nullptr, nullptr, 0, nullptr},
};

#undef SERIES_METHOD

PyTypeObject* make_plain_type(const char* name, int size, unsigned long flags, PyType_Slot* slots) {
    PyType_Spec spec = {name, size, 0, static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | flags),
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

bool make_app_types() {
    PyType_Slot metric_slots[] = {
        {Py_tp_doc,
         const_cast<char*>("AppMetric(name, documentation, kind, labelnames, buckets, mode, unit, "
                           "series_type)\n--\n\n"
                           "A metric of the application in this process's metrics file, summed "
                           "over every worker in the metrics document.")},
        {Py_tp_new, type_slot(new_app_metric)},
        {Py_tp_methods, METRIC_METHODS},
        {Py_tp_dealloc, type_slot(dealloc_plain)},
        {0, nullptr},
    };
    APP_METRIC_TYPE =
        make_plain_type("vornik._routes.AppMetric", sizeof(AppMetric), 0, metric_slots);
    if (APP_METRIC_TYPE == nullptr) return false;
    const std::pair<const char*, PyMethodDef*> kinds[] = {
        {"vornik._routes.CounterSeries", COUNTER_METHODS},
        {"vornik._routes.GaugeSeries", GAUGE_METHODS},
        {"vornik._routes.HistogramSeries", HISTOGRAM_METHODS},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        PyType_Slot series_slots[] = {
            {Py_tp_doc, const_cast<char*>("One series of an application metric: a label set.")},
            {Py_tp_methods, kinds[i].second},
            {Py_tp_dealloc, type_slot(dealloc_plain)},
            {0, nullptr},
        };
        SERIES_TYPES[i + 1] =
            make_plain_type(kinds[i].first, sizeof(AppSeries),
                            Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, series_slots);
        if (SERIES_TYPES[i + 1] == nullptr) return false;
    }
    return true;
}

PyObject* type_object(PyTypeObject* type) {
    Py_INCREF(type);
    return reinterpret_cast<PyObject*>(type);
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
    "shard directory is set, then the families of every live worker, and then the\n"
    "application's own metrics (vornik.metrics). The text format 0.0.4, or OpenMetrics 1.0."};

PyMethodDef DIRECTORY_DOCUMENT_DEF = {
    "directory_document", as_cfunction(directory_document), FASTCALL,
    "directory_document(path, openmetrics=False)\n--\n\n"
    "The document of metrics_document() read from the shard directory at `path` by a\n"
    "process that is none of its workers: it opens no shard, claims no slot and leaves no\n"
    "file, and folds gone workers as every merge does. The route families use the\n"
    "buckets of the workers' tables and the process figures are the caller's. A\n"
    "directory that does not exist (yet) shows zeros and no workers."};

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
        add_function(m, a, DIRECTORY_DOCUMENT_DEF) && add_function(m, a, WORKER_FAMILIES_DEF) &&
        add_function(m, a, CHECK_SHARD_DIRECTORY) && add_function(m, a, REGISTER_WORKER) &&
        add_function(m, a, READ_DIRECTORY) && add_function(m, a, PROCESS_FIGURES) &&
        add_function(m, a, CHILD_PIDS) && add_function(m, a, HISTOGRAM_QUANTILE) &&
        add_function(m, a, REQUEST_STARTED) && add_function(m, a, REQUEST_FINISHED_DEF) &&
        add_function(m, a, GC_PHASE_DEF) && add_function(m, a, LISTEN_QUEUES) &&
        add(m, a, "SHARD_BOUNDS_MS", float_tuple(multiproc::BUCKET_BOUNDS_MS)) &&
        add(m, a, "OPENMETRICS_CONTENT_TYPE",
            text_to_python(prometheus::OPENMETRICS_CONTENT_TYPE)) &&
        add(m, a, "WsgiMiddleware", wsgi_middleware::middleware_type()) && make_app_types() &&
        add(m, a, "AppMetric", type_object(APP_METRIC_TYPE)) &&
        add(m, a, "CounterSeries", type_object(SERIES_TYPES[1])) &&
        add(m, a, "GaugeSeries", type_object(SERIES_TYPES[2])) &&
        add(m, a, "HistogramSeries", type_object(SERIES_TYPES[3]));
    return built ? module.release() : nullptr;
}

PyObject* init_module() {
    return init_once(MODULE, "vornik._routes", build_module);
}

}  // namespace

PyObject* vornik_routes_init() {
    return guarded(init_module);
}
