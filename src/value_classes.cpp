// Heap types from type specs. An instance embeds its record; every attribute read
// converts the stored field into a new Python object.
#include "value_classes.hpp"

#include <new>
#include <string>

#include "py_ref.hpp"
#include "surface.hpp"
#include "text.hpp"

namespace value_classes {

namespace {

template <typename Record>
struct Instance {
    PyObject_HEAD Record record;
};

using PyRequestMetric = Instance<request_metrics::RequestMetric>;
using PyAggregatedMetrics = Instance<aggregator::AggregatedMetrics>;
using PySnapshot = Instance<snapshot::Snapshot>;

PyObject* REQUEST_METRIC_TYPE = nullptr;
PyObject* AGGREGATED_METRICS_TYPE = nullptr;
PyObject* SNAPSHOT_TYPE = nullptr;

PyObject* to_python(const std::string& value) {
    return text_to_python(value);
}
PyObject* to_python(std::uint16_t value) {
    return PyLong_FromUnsignedLong(value);
}
PyObject* to_python(std::uint32_t value) {
    return PyLong_FromUnsignedLong(value);
}
PyObject* to_python(std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(value);
}
PyObject* to_python(double value) {
    return PyFloat_FromDouble(value);
}

template <typename Record, typename Field>
Record owner_of(Field Record::*);

// Getter of one record field, generated from a pointer to the member.
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    using Record = decltype(owner_of(Field));
    return to_python(reinterpret_cast<Instance<Record>*>(self)->record.*Field);
}

PyObject* get_memory_rss_mb(PyObject* self, void*) {
    return PyFloat_FromDouble(
        snapshot::megabytes(reinterpret_cast<PySnapshot*>(self)->record.memory_rss));
}

#define FIELD(type, name)                                     \
    PyGetSetDef {                                             \
#name, get_field < &type::name>, nullptr, "", nullptr \
    }

// The stored fields come first, in record order; `to_dict` walks exactly these.
PyGetSetDef REQUEST_METRIC_FIELDS[] = {
    FIELD(request_metrics::RequestMetric, method),
    FIELD(request_metrics::RequestMetric, path),
    FIELD(request_metrics::RequestMetric, status_code),
    FIELD(request_metrics::RequestMetric, duration_ms),
    FIELD(request_metrics::RequestMetric, timestamp),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef AGGREGATED_METRICS_FIELDS[] = {
    FIELD(aggregator::AggregatedMetrics, total_requests),
    FIELD(aggregator::AggregatedMetrics, total_errors),
    FIELD(aggregator::AggregatedMetrics, error_rate),
    FIELD(aggregator::AggregatedMetrics, avg_latency_ms),
    FIELD(aggregator::AggregatedMetrics, min_latency_ms),
    FIELD(aggregator::AggregatedMetrics, max_latency_ms),
    FIELD(aggregator::AggregatedMetrics, p50_latency_ms),
    FIELD(aggregator::AggregatedMetrics, p95_latency_ms),
    FIELD(aggregator::AggregatedMetrics, p99_latency_ms),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr std::size_t SNAPSHOT_STORED_FIELDS = 6;
PyGetSetDef SNAPSHOT_FIELDS[] = {
    FIELD(snapshot::Snapshot, pid),
    FIELD(snapshot::Snapshot, cpu_percent),
    FIELD(snapshot::Snapshot, memory_rss),
    FIELD(snapshot::Snapshot, memory_virtual),
    FIELD(snapshot::Snapshot, threads),
    FIELD(snapshot::Snapshot, timestamp),
    PyGetSetDef{"memory_rss_mb", get_memory_rss_mb, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FIELD

template <std::size_t N>
constexpr std::size_t stored_count(const PyGetSetDef (&)[N]) {
    return N - 1;
}

PyObject* fields_to_dict(PyObject* self, const PyGetSetDef* fields, std::size_t count) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const PyRef value = PyRef::steal(fields[i].get(self, nullptr));
        if (!value || PyDict_SetItemString(dict.get(), fields[i].name, value.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

template <PyGetSetDef* Fields, std::size_t Count>
PyObject* to_dict(PyObject* self, PyObject*) {
    return fields_to_dict(self, Fields, Count);
}

PyObject* request_metric_repr(PyObject* self) {
    return guarded([&]() {
        const auto& m = reinterpret_cast<PyRequestMetric*>(self)->record;
        std::string text =
            "RequestMetric(" + m.method + " " + m.path + " " + std::to_string(m.status_code) + " ";
        text::append_fixed(text, m.duration_ms, 2);
        text += "ms)";
        return to_python(text);
    });
}

PyObject* aggregated_metrics_repr(PyObject* self) {
    return guarded([&]() {
        const auto& a = reinterpret_cast<PyAggregatedMetrics*>(self)->record;
        std::string text = "AggregatedMetrics(total=" + std::to_string(a.total_requests) +
                           ", errors=" + std::to_string(a.total_errors) + ", error_rate=";
        text::append_fixed(text, a.error_rate, 1);
        text += "%, avg=";
        text::append_fixed(text, a.avg_latency_ms, 2);
        text += "ms, p50=";
        text::append_fixed(text, a.p50_latency_ms, 2);
        text += "ms, p95=";
        text::append_fixed(text, a.p95_latency_ms, 2);
        text += "ms, p99=";
        text::append_fixed(text, a.p99_latency_ms, 2);
        text += "ms)";
        return to_python(text);
    });
}

PyObject* snapshot_repr(PyObject* self) {
    return guarded([&]() {
        const auto& s = reinterpret_cast<PySnapshot*>(self)->record;
        std::string text = "Snapshot(pid=" + std::to_string(s.pid) + ", cpu=";
        text::append_fixed(text, s.cpu_percent, 1);
        text += "%, rss=";
        text::append_fixed(text, snapshot::megabytes(s.memory_rss), 1);
        text += "MB, virt=";
        text::append_fixed(text, snapshot::megabytes(s.memory_virtual), 1);
        text += "MB, threads=" + std::to_string(s.threads) + ", ts=" + std::to_string(s.timestamp) +
                ")";
        return to_python(text);
    });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const PyRef name =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    // Contract: the message and the repr layouts above are matched by callers.
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

template <typename Record>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<Record>*>(self)->record.~Record();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <typename Record>
PyObject* make_instance(PyObject* type, Record&& record) {
    PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (self == nullptr) return nullptr;
    using Plain = std::remove_cvref_t<Record>;
    new (&reinterpret_cast<Instance<Plain>*>(self)->record) Plain(std::forward<Record>(record));
    return self;
}

template <typename Record, PyGetSetDef* Fields, std::size_t Count>
PyObject* make_type(const char* name, const char* doc, reprfunc repr) {
    static PyMethodDef methods[] = {
        {"to_dict", to_dict<Fields, Count>, METH_NOARGS, "to_dict($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Record>)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_getset, Fields},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec type_spec = {name, static_cast<int>(sizeof(Instance<Record>)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&type_spec);
}

}  // namespace

bool ready() {
    if (SNAPSHOT_TYPE != nullptr) return true;
    PyRef request_metric =
        PyRef::steal(make_type<request_metrics::RequestMetric, REQUEST_METRIC_FIELDS,
                               stored_count(REQUEST_METRIC_FIELDS)>(
            "builtins.RequestMetric",
            "Python-facing version of `request_metrics::RequestMetric`.\n\n"
            "The internal logic works on a plain record while this prefixed type is the\n"
            "interface Python sees; converting one into the other carries every field, so\n"
            "none can be missed when the internal record changes.",
            request_metric_repr));
    if (!request_metric) return false;
    PyRef aggregated =
        PyRef::steal(make_type<aggregator::AggregatedMetrics, AGGREGATED_METRICS_FIELDS,
                               stored_count(AGGREGATED_METRICS_FIELDS)>(
            "builtins.AggregatedMetrics",
            "Python-facing version of `aggregator::AggregatedMetrics`.\n"
            "Same pattern: a plain record for the logic, a Python type for the interface.",
            aggregated_metrics_repr));
    if (!aggregated) return false;
    PyRef snapshot_class =
        PyRef::steal(make_type<snapshot::Snapshot, SNAPSHOT_FIELDS, SNAPSHOT_STORED_FIELDS>(
            "builtins.Snapshot", "", snapshot_repr));
    if (!snapshot_class) return false;
    REQUEST_METRIC_TYPE = request_metric.release();
    AGGREGATED_METRICS_TYPE = aggregated.release();
    SNAPSHOT_TYPE = snapshot_class.release();
    return true;
}

PyObject* request_metric_type() {
    return REQUEST_METRIC_TYPE;
}
PyObject* aggregated_metrics_type() {
    return AGGREGATED_METRICS_TYPE;
}
PyObject* snapshot_type() {
    return SNAPSHOT_TYPE;
}

PyObject* new_request_metric(request_metrics::RequestMetric&& record) {
    return make_instance(REQUEST_METRIC_TYPE, std::move(record));
}

PyObject* new_aggregated_metrics(const aggregator::AggregatedMetrics& record) {
    return make_instance(AGGREGATED_METRICS_TYPE, record);
}

PyObject* new_snapshot(const snapshot::Snapshot& record) {
    return make_instance(SNAPSHOT_TYPE, record);
}

}  // namespace value_classes
