// Shard files: each worker process counts its requests into a 176-byte file of its
// own in a shared directory, and any process sums the files of all live workers.
//
// Layout of a shard: 22 unsigned 64-bit words in native byte order, nothing else.
//   word 0       version, always 1
//   word 1       pid of the writer (32-bit id, zero-extended)
//   word 2       requests
//   word 3       errors (status >= 400)
//   word 4       latency_sum_us, wrapping
//   word 5       latency_min_us, all ones while no request was seen
//   word 6       latency_max_us
//   word 7       updated_at, Unix seconds of the last write (written, never read)
//   words 8-21   request counts of the 14 latency buckets, non-cumulative
// The writer updates its mapping with relaxed atomic read-modify-writes; readers take
// the 176 bytes with one read. No lock is shared between processes, so a reader may
// see a request in `requests` before it shows up in its bucket; every word on its own
// is one that the writer really stored.
#include "multiproc.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <utility>
#include <variant>

#include "request_metrics.hpp"
#include "text.hpp"

namespace multiproc {

namespace {

constexpr std::size_t SHARD_WORDS = 22;
constexpr std::size_t SHARD_SIZE = SHARD_WORDS * 8;
constexpr std::uint64_t SHARD_VERSION = 1;

enum Word : std::size_t {
    VERSION = 0,
    PID = 1,
    REQUESTS = 2,
    ERRORS = 3,
    LATENCY_SUM_US = 4,
    LATENCY_MIN_US = 5,
    LATENCY_MAX_US = 6,
    UPDATED_AT = 7,
    BUCKETS = 8,
};

constexpr std::string_view SHARD_PREFIX = "vrk-";
constexpr std::string_view SHARD_SUFFIX = ".shard";

// A shared read-write mapping of a shard file's SHARD_SIZE bytes; unmapped on destruction.
class Mapping {
public:
    static Mapping map(int fd) {
        void* address = mmap(nullptr, SHARD_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        return Mapping(address == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(address));
    }
    Mapping(Mapping&& other) noexcept : words_(std::exchange(other.words_, nullptr)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        std::uint64_t* old = std::exchange(words_, std::exchange(other.words_, nullptr));
        if (old) munmap(old, SHARD_SIZE);
        return *this;
    }
    ~Mapping() {
        if (words_) munmap(words_, SHARD_SIZE);
    }
    explicit operator bool() const { return words_ != nullptr; }

    // Every access goes through atomic_ref, plain stores included: other processes read
    // the same words while this one writes them.
    std::atomic_ref<std::uint64_t> operator[](std::size_t word) const {
        return std::atomic_ref<std::uint64_t>(words_[word]);
    }

private:
    explicit Mapping(std::uint64_t* words) : words_(words) {}
    std::uint64_t* words_ = nullptr;
};

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct Uninitialized {};
struct Disabled {};
struct Enabled {
    std::string dir;
    Mapping shard;
};
using State = std::variant<Uninitialized, Disabled, Enabled>;

std::mutex STATE_LOCK;
State STATE;

constexpr auto RELAXED = std::memory_order_relaxed;

std::string shard_name(pid_t pid) {
    return std::string(SHARD_PREFIX) + std::to_string(pid) + std::string(SHARD_SUFFIX);
}

void initialise(const Mapping& shard, std::uint64_t pid) {
    for (std::size_t word = 0; word < SHARD_WORDS; ++word) shard[word].store(0, RELAXED);
    shard[VERSION].store(SHARD_VERSION, RELAXED);
    shard[PID].store(pid, RELAXED);
    shard[LATENCY_MIN_US].store(NO_LATENCY, RELAXED);
    shard[UPDATED_AT].store(request_metrics::unix_seconds(), RELAXED);
}

// Creates (or adopts) this process's shard in `dir` and maps it read-write.
// The directory may be writable by other users, so the file is opened without
// following links and must be a regular file that we own (its owner could otherwise
// cut it under our mapping); and its blocks are allocated up front, since a store
// into a sparse page of a full filesystem or a cut file raises SIGBUS.
std::optional<Mapping> open_writer(const std::string& dir) {
    if (dir.find('\0') != std::string::npos) return std::nullopt;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return std::nullopt;

    const pid_t pid = getpid();
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += shard_name(pid);

    const FileDescriptor file(
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (file.get() < 0) return std::nullopt;
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())
        return std::nullopt;
    if (ftruncate(file.get(), SHARD_SIZE) != 0) return std::nullopt;
    if (posix_fallocate(file.get(), 0, SHARD_SIZE) != 0) return std::nullopt;
    Mapping shard = Mapping::map(file.get());
    if (!shard) return std::nullopt;

    const auto own_pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid));
    const bool adoptable =
        shard[VERSION].load(RELAXED) == SHARD_VERSION && shard[PID].load(RELAXED) == own_pid;
    if (!adoptable) initialise(shard, own_pid);
    return shard;
}

// Reads the environment variable once, the first time the state is needed.
void ensure_init(State& state) {
    if (!std::holds_alternative<Uninitialized>(state)) return;
    const char* value = std::getenv("VRK_MULTIPROC_DIR");
    if (value == nullptr || !text::is_valid_utf8(value) || text::is_blank(value)) {
        state = Disabled{};
        return;
    }
    std::string dir(value);
    if (auto shard = open_writer(dir)) {
        state = Enabled{std::move(dir), std::move(*shard)};
    } else {
        state = Disabled{};
    }
}

std::uint64_t latency_us(double duration_ms) {
    if (!(duration_ms > 0.0)) return 0;  // negative, zero and NaN
    const double micros = duration_ms * 1000.0;
    constexpr double TWO_TO_64 = 18446744073709551616.0;
    if (micros >= TWO_TO_64) return NO_LATENCY;
    return static_cast<std::uint64_t>(micros);
}

std::size_t bucket_index(double duration_ms) {
    for (std::size_t i = 0; i < BUCKET_BOUNDS_MS.size(); ++i)
        if (duration_ms <= BUCKET_BOUNDS_MS[i]) return i;
    return BUCKET_COUNT - 1;  // above the last bound, or NaN
}

void fetch_min(std::atomic_ref<std::uint64_t> word, std::uint64_t value) {
    std::uint64_t current = word.load(RELAXED);
    while (value < current && !word.compare_exchange_weak(current, value, RELAXED)) {
    }
}

void fetch_max(std::atomic_ref<std::uint64_t> word, std::uint64_t value) {
    std::uint64_t current = word.load(RELAXED);
    while (value > current && !word.compare_exchange_weak(current, value, RELAXED)) {
    }
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? NO_LATENCY : sum;
}

bool is_shard_name(std::string_view name) {
    return name.size() >= SHARD_PREFIX.size() + SHARD_SUFFIX.size() &&
           name.starts_with(SHARD_PREFIX) && name.ends_with(SHARD_SUFFIX) && text::is_valid_utf8(name);
}

// Signal 0 tests for existence; EPERM means the process exists under another user.
bool writer_alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

using ShardWords = std::array<std::uint64_t, SHARD_WORDS>;

void add_shard(MergedShards& total, const ShardWords& shard) {
    total.requests += shard[REQUESTS];
    total.errors += shard[ERRORS];
    total.latency_sum_us = saturating_add(total.latency_sum_us, shard[LATENCY_SUM_US]);
    total.latency_min_us = std::min(total.latency_min_us, shard[LATENCY_MIN_US]);
    total.latency_max_us = std::max(total.latency_max_us, shard[LATENCY_MAX_US]);
    for (std::size_t i = 0; i < BUCKET_COUNT; ++i) total.buckets[i] += shard[BUCKETS + i];
}

// Adds one directory entry to `total` when it is a live writer's valid shard, and
// deletes it when its writer is dead. Anything else is skipped and left in place.
// The directory is shared, so nothing here may block or follow a planted link: special
// files are opened non-blocking and rejected by type.
void merge_entry(MergedShards& total, int dir_fd, const char* name) {
    if (!is_shard_name(name)) return;
    const FileDescriptor file(
        openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return;
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    if (info.st_size < static_cast<off_t>(SHARD_SIZE)) return;
    // Read, not mapped: a mapped file that another process cuts short raises SIGBUS in
    // the reader on its next access, while a read just comes up short. The words are
    // aligned in the file and in the buffer, and the kernel copies such words whole.
    alignas(64) ShardWords shard;
    if (pread(file.get(), shard.data(), SHARD_SIZE, 0) != static_cast<ssize_t>(SHARD_SIZE)) return;
    if (shard[VERSION] != SHARD_VERSION) return;

    // pid 0 and negative ids would address whole process groups.
    const auto pid = static_cast<pid_t>(static_cast<std::int32_t>(
        static_cast<std::uint32_t>(shard[PID])));
    if (pid <= 0) return;
    if (writer_alive(pid)) {
        add_shard(total, shard);
    } else {
        unlinkat(dir_fd, name, 0);  // another merger may have been first
    }
}

}  // namespace

void record(std::uint16_t status_code, double duration_ms) {
    std::lock_guard guard(STATE_LOCK);
    ensure_init(STATE);
    const auto* enabled = std::get_if<Enabled>(&STATE);
    if (enabled == nullptr) return;
    const Mapping& shard = enabled->shard;
    const std::uint64_t micros = latency_us(duration_ms);
    shard[REQUESTS].fetch_add(1, RELAXED);
    if (status_code >= request_metrics::ERROR_STATUS) shard[ERRORS].fetch_add(1, RELAXED);
    shard[LATENCY_SUM_US].fetch_add(micros, RELAXED);
    fetch_min(shard[LATENCY_MIN_US], micros);
    fetch_max(shard[LATENCY_MAX_US], micros);
    shard[BUCKETS + bucket_index(duration_ms)].fetch_add(1, RELAXED);
    shard[UPDATED_AT].store(request_metrics::unix_seconds(), RELAXED);
}

void set_dir(const std::optional<std::string>& dir) {
    std::lock_guard guard(STATE_LOCK);
    if (!dir || text::is_blank(*dir)) {
        STATE = Disabled{};
        return;
    }
    // The new shard is opened before the old mapping goes, so re-selecting the current
    // directory adopts the same file and keeps its counters.
    if (auto shard = open_writer(*dir)) {
        STATE = Enabled{*dir, std::move(*shard)};
    } else {
        STATE = Disabled{};
    }
}

std::optional<std::string> dir() {
    std::lock_guard guard(STATE_LOCK);
    ensure_init(STATE);
    if (const auto* enabled = std::get_if<Enabled>(&STATE)) return enabled->dir;
    return std::nullopt;
}

std::optional<MergedShards> merged() {
    const std::optional<std::string> directory = dir();
    if (!directory) return std::nullopt;

    MergedShards total;
    if (directory->find('\0') != std::string::npos) return total;
    DIR* listing = opendir(directory->c_str());
    if (listing == nullptr) return total;
    const int dir_fd = dirfd(listing);
    while (const dirent* entry = readdir(listing)) merge_entry(total, dir_fd, entry->d_name);
    closedir(listing);
    return total;
}

}  // namespace multiproc
