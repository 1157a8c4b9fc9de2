// The three read-only result classes Python sees: RequestMetric, AggregatedMetrics
// and Snapshot. Each instance owns a copy of an internal record.
#pragma once

#include <Python.h>

#include "aggregator.hpp"
#include "request_metrics.hpp"
#include "snapshot.hpp"

namespace value_classes {

// Creates the three type objects once per process; false with an error set on failure.
bool ready();

PyObject* request_metric_type();
PyObject* aggregated_metrics_type();
PyObject* snapshot_type();

// New instances; nullptr with an error set when allocation fails.
PyObject* new_request_metric(request_metrics::RequestMetric&& record);
PyObject* new_aggregated_metrics(const aggregator::AggregatedMetrics& record);
PyObject* new_snapshot(const snapshot::Snapshot& record);

}  // namespace value_classes
