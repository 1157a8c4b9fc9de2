#include "directory_reader.hpp"

namespace directory_reader {

Reading read(const worker_files::Directory& directory, Buckets buckets, worker_files::Tidy tidy) {
    const worker_files::Names names = worker_files::list_names(directory);
    std::optional<std::vector<double>> bounds;
    if (buckets == Buckets::workers) bounds = series::bounds_in(directory, names);
    if (!bounds) bounds = series::bounds_s();
    return {multiproc::read_shards(directory, names, worker_files::Keep::files, tidy),
            series::merge_tables(directory, names, *bounds, tidy),
            worker_slots::holders(directory, names),
            app_metrics::merge_files(directory, names, tidy, buckets == Buckets::own)};
}

Reading nothing() {
    return {{}, series::Merged{series::bounds_s(), {}, 0}, {}};
}

}  // namespace directory_reader
