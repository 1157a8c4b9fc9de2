// Worker slots: small numbers that the live workers of a shard directory are shown
// under, each held by one process, and taken over by a new worker once its holder has
// exited, so that recycled workers do not start new series under new labels.
//
// A slot is the file "vrk-worker-<n>.slot" (n = 0, 1, 2, ... without leading zeros).
// Its holder has an open-file-description write lock (F_OFD_SETLK) over the whole file
// and its pid in it: the decimal digits, padded with spaces to 16 bytes. The kernel
// drops the lock with the holder's last descriptor of the file, when it dies; a forked
// child shares its parent's lock until it takes a slot of its own. Readers ask with
// F_OFD_GETLK, which places no lock, so a reader never keeps a worker from a slot.
//
// After the pid the holder keeps what it is doing, in 64-bit words of native byte order
// that it writes through a mapping of the file (see worker_slots.cpp for the layout):
// requests in flight, the time it had at least one in flight, and its time in the cyclic
// garbage collector. A slot of 16 bytes (written by an older version) has none of them.
// Every writer of these words runs under the GIL: the figures are the process's, and
// the module only ever runs in the main interpreter of a GIL build (abi3).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "worker_files.hpp"

namespace worker_slots {

// Where the holder publishes its figures: the mapped words of its slot file, written by
// every request while it is the process's current slot.
class Publication {
public:
    Publication() = default;
    explicit Publication(worker_files::Mapping mapping);
    Publication(Publication&& other) noexcept = default;
    Publication& operator=(Publication&& other) noexcept;
    ~Publication();

private:
    worker_files::Mapping mapping_;
};

// A slot this process holds, with what tells whether its file is still in place.
struct Claim {
    worker_files::FileDescriptor fd;
    std::string path;
    worker_files::Identity identity;
    std::uint32_t slot = 0;
    Publication publication;  // none where the file could not be mapped
};

// The lowest slot of `directory` (whose text is `dir`) that nobody holds, for `pid`.
// Names taken by files that are not this user's plain files (planted by somebody else,
// links, FIFOs) are passed over without counting against the number of slots tried.
std::optional<Claim> claim(const worker_files::Directory& directory, const std::string& dir,
                           pid_t pid);

// Whether the claim's file still has its name (a wiped directory takes it away).
bool still_held(const Claim& claim);

// What a holder is doing, as a reader finds it.
struct Activity {
    std::uint64_t in_flight = 0;
    // Wall time with at least one request in flight, the current stretch included but
    // for its last READ_MARGIN_NS: the holder takes its clock just before it publishes
    // the end of a stretch, so a reader whose clock is a little later could otherwise
    // count more than the holder then adds, and the counter would fall.
    double busy_seconds = 0.0;
    double gc_seconds = 0.0;
};
inline constexpr std::int64_t READ_MARGIN_NS = 10'000'000;

struct Holder {
    std::uint32_t slot = 0;
    pid_t pid = 0;
    std::optional<Activity> activity;  // none in a slot without figures
};

// The held slots among `names`, the listing of `directory`, by slot.
std::vector<Holder> holders(const worker_files::Directory& directory,
                            const worker_files::Names& names);

// ---- this process's figures, written into its current slot -----------------------------

// The monotonic clock of the figures (CLOCK_MONOTONIC, shared by every process of the
// host), in nanoseconds.
std::int64_t clock_ns();

// A request starts or ends: returns the clock it was counted at, which is the request's
// own start or end. An end without a start counts nothing.
std::int64_t begin_request();
std::int64_t end_request();

// A collection of the cyclic garbage collector starts or stops.
void gc_started();
void gc_stopped();

// Whether claiming this process's slot is worth a try at the start of a request: the
// shard directory changed (its `generation` moved), or this process publishes no
// figures and `second` (the shard writer's checked second, which moves once a second
// while a directory is in use) differs from the one of the last try.
bool claim_due(std::uint64_t generation, std::uint64_t second);

}  // namespace worker_slots
