// Samples of this process: CPU share since the previous sample, memory and threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace snapshot {

struct Snapshot {
    std::uint32_t pid = 0;
    double cpu_percent = 0.0;  // share of one CPU, may exceed 100
    std::uint64_t memory_rss = 0;
    std::uint64_t memory_virtual = 0;
    std::uint64_t threads = 0;
    std::uint64_t timestamp = 0;  // Unix seconds
};

// A sample, or the text of why none could be taken.
using Result = std::variant<Snapshot, std::string>;

Result collect();

// CPU time, resident memory, threads, descriptors and start of any process, from
// /proc/<pid>.
struct ProcessFigures {
    double cpu_seconds = 0.0;  // user and system
    std::uint64_t memory_rss = 0;
    std::uint64_t threads = 0;
    // Entries of /proc/<pid>/fd; nothing where they may not be listed (another user's).
    std::optional<std::uint64_t> open_fds;
    double start_time_seconds = 0.0;  // Unix seconds, to the clock tick
};

// Nothing when /proc has no such process (or no longer has it).
std::optional<ProcessFigures> figures_of(std::uint32_t pid);

// The inodes of the sockets among the descriptors of `pid` ("socket:[<inode>]" links of
// /proc/<pid>/fd); empty where they may not be read.
std::vector<std::uint64_t> socket_inodes_of(std::uint32_t pid);

// The processes whose parent is `pid`, as /proc lists them now.
std::vector<std::uint32_t> children_of(std::uint32_t pid);

// Mebibytes, the unit of the memory thresholds and the reprs.
inline double megabytes(std::uint64_t bytes) {
    return static_cast<double>(bytes) / 1024.0 / 1024.0;
}

}  // namespace snapshot
