// One reading of a shard directory: every kind of worker file, from one listing of it.
// A reader holds no writer state: it opens no shard, claims no slot and creates nothing,
// unless it is asked to fold the files of gone workers into the retained totals, as
// every merge does.
#pragma once

#include <optional>
#include <vector>

#include "app_metrics.hpp"
#include "multiproc.hpp"
#include "series.hpp"
#include "worker_files.hpp"
#include "worker_slots.hpp"

namespace directory_reader {

struct Reading {
    multiproc::ShardReading shards;
    series::Merged series;
    std::vector<worker_slots::Holder> holders;
    app_metrics::Merged application;
};

// Which latency buckets the series are summed in: this process's own (a worker, whose
// table has them), or those of the workers' tables (a reader that records nothing).
enum class Buckets { own, workers };

Reading read(const worker_files::Directory& directory, Buckets buckets, worker_files::Tidy tidy);

// What a directory that cannot be opened shows: zeros, no series, no workers.
Reading nothing();

}  // namespace directory_reader
