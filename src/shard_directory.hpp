// Which shard directory this process's writers use, and what they follow to stay in it.
// The directory is chosen by VRK_MULTIPROC_DIR, read once at the first need, or by
// `choose`; the shard writer gives it up when it cannot keep its file there. Every
// writer (the shard, the series table, the worker slot) keeps its file for one
// generation of the choice and one fork count, and checks that its file is still in
// place whenever the checked second moves, which the shard writer advances once a
// second while requests come: so no other writer reads the clock per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace shard_directory {

struct Choice {
    std::optional<std::string> dir;  // none: aggregation is off
    std::uint64_t generation = 0;
};

// The current choice, reading the environment variable the first time.
Choice current();

// Chooses `dir`; absent or blank text turns aggregation off.
void choose(const std::optional<std::string>& dir);

// Turns aggregation off when the choice is still that of `generation`.
void give_up(std::uint64_t generation);

// What writers load per request, inline: relaxed loads, no lock, no call.
namespace published {
inline std::atomic<bool> known_off{false};
inline std::atomic<std::uint64_t> generation{0};
inline std::atomic<std::uint64_t> checked_second{0};
inline std::atomic<std::uint64_t> forks{0};
}  // namespace published

// True once the choice is known to be "off": for a request recorded while aggregation
// is off.
inline bool known_off() {
    return published::known_off.load(std::memory_order_relaxed);
}

// Changes with every choice.
inline std::uint64_t generation() {
    return published::generation.load(std::memory_order_relaxed);
}

// The Unix second of the shard writer's latest health check, and its update.
inline std::uint64_t checked_second() {
    return published::checked_second.load(std::memory_order_relaxed);
}
inline void note_checked(std::uint64_t second) {
    published::checked_second.store(second, std::memory_order_relaxed);
}

// Forks this process has gone through (counted in the child): a child must not write
// into its parent's files.
inline std::uint64_t forks() {
    return published::forks.load(std::memory_order_relaxed);
}

}  // namespace shard_directory
