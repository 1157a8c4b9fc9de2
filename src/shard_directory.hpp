// Which shard directory this process's writers use, and what they follow to stay in it.
// The directory is chosen by VRK_MULTIPROC_DIR, read once at the first need, or by
// `choose`; the shard writer gives it up when it cannot keep its file there. Every
// writer (the shard, the series table, the worker slot) keeps its file for one
// generation of the choice and one fork count, and checks that its file is still in
// place whenever the checked second moves, which the shard writer advances once a
// second while requests come: so no other writer reads the clock per request.
#pragma once

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

// True once the choice is known to be "off": one relaxed load, no lock, for a request
// recorded while aggregation is off.
bool known_off();

// Chooses `dir`; absent or blank text turns aggregation off.
void choose(const std::optional<std::string>& dir);

// Turns aggregation off when the choice is still that of `generation`.
void give_up(std::uint64_t generation);

// Changes with every choice; a relaxed load.
std::uint64_t generation();

// The Unix second of the shard writer's latest health check, and its update.
std::uint64_t checked_second();
void note_checked(std::uint64_t second);

// Forks this process has gone through (counted in the child): a child must not write
// into its parent's files.
std::uint64_t forks();

}  // namespace shard_directory
