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
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "worker_files.hpp"

namespace worker_slots {

// A slot this process holds, with what tells whether its file is still in place.
struct Claim {
    worker_files::FileDescriptor fd;
    std::string path;
    worker_files::Identity identity;
    std::uint32_t slot = 0;
};

// The lowest slot of `directory` (whose text is `dir`) that nobody holds, for `pid`.
// Names taken by files that are not this user's plain files (planted by somebody else,
// links, FIFOs) are passed over without counting against the number of slots tried.
std::optional<Claim> claim(const worker_files::Directory& directory, const std::string& dir,
                           pid_t pid);

// Whether the claim's file still has its name (a wiped directory takes it away).
bool still_held(const Claim& claim);

struct Holder {
    std::uint32_t slot = 0;
    pid_t pid = 0;
};

// The held slots among `names`, the listing of `directory`, by slot.
std::vector<Holder> holders(const worker_files::Directory& directory,
                            const worker_files::Names& names);

}  // namespace worker_slots
