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
std::atomic<bool> KNOWN_OFF{false};
std::atomic<std::uint64_t> GENERATION{0};
std::atomic<std::uint64_t> CHECKED_SECOND{0};
std::atomic<std::uint64_t> FORKS{0};

bool names_a_directory(const std::optional<std::string>& dir) {
    return dir && !text::is_blank(*dir);
}

// With LOCK held.
void set(std::optional<std::string> dir) {
    static const bool WATCHING_FORKS =
        pthread_atfork(nullptr, nullptr, [] { FORKS.fetch_add(1, RELAXED); }) == 0;
    (void)WATCHING_FORKS;
    INITIALISED = true;
    DIR = names_a_directory(dir) ? std::move(dir) : std::nullopt;
    KNOWN_OFF.store(!DIR, RELAXED);
    GENERATION.fetch_add(1, RELAXED);
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
    return {DIR, GENERATION.load(RELAXED)};
}

bool known_off() {
    return KNOWN_OFF.load(RELAXED);
}

void choose(const std::optional<std::string>& dir) {
    std::lock_guard guard(LOCK);
    set(dir);
}

void give_up(std::uint64_t generation) {
    std::lock_guard guard(LOCK);
    if (GENERATION.load(RELAXED) == generation) set(std::nullopt);
}

std::uint64_t generation() {
    return GENERATION.load(RELAXED);
}

std::uint64_t checked_second() {
    return CHECKED_SECOND.load(RELAXED);
}

void note_checked(std::uint64_t second) {
    CHECKED_SECOND.store(second, RELAXED);
}

std::uint64_t forks() {
    return FORKS.load(RELAXED);
}

}  // namespace shard_directory
