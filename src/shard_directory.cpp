#include "shard_directory.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "text.hpp"

namespace shard_directory {

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;

std::mutex LOCK;
bool INITIALISED = false;  // with LOCK held
std::optional<std::string> DIR;

bool names_a_directory(const std::optional<std::string>& dir) {
    return dir && !text::is_blank(*dir);
}

// With LOCK held.
void set(std::optional<std::string> dir) {
    static const bool WATCHING_FORKS =
        pthread_atfork(nullptr, nullptr, [] { published::forks.fetch_add(1, RELAXED); }) == 0;
    (void)WATCHING_FORKS;
    INITIALISED = true;
    DIR = names_a_directory(dir) ? std::move(dir) : std::nullopt;
    published::known_off.store(!DIR, RELAXED);
    published::generation.fetch_add(1, RELAXED);
}

// With LOCK held: the environment variable, the first time any writer asks.
void ensure_initialised() {
    if (INITIALISED) return;
    const char* value = std::getenv("VRK_MULTIPROC_DIR");
    if (value == nullptr || !text::is_valid_utf8(value)) {
        set(std::nullopt);
    } else {
        set(std::string(value));
    }
}

}  // namespace

Choice current() {
    std::lock_guard guard(LOCK);
    ensure_initialised();
    return {DIR, generation()};
}

void choose(const std::optional<std::string>& dir) {
    std::lock_guard guard(LOCK);
    set(dir);
}

void give_up(std::uint64_t generation) {
    std::lock_guard guard(LOCK);
    if (shard_directory::generation() == generation) set(std::nullopt);
}

}  // namespace shard_directory
