// Layout of a slot file, 64 bytes:
//   bytes 0-15   the holder's pid, decimal digits padded with spaces
//   word 2       FIGURES_MAGIC once the words below are this holder's; 0 before
//   word 3       sequence: odd while the holder writes words 4-7
//   word 4       requests in flight
//   word 5       nanoseconds of the finished stretches with a request in flight
//   word 6       CLOCK_MONOTONIC nanoseconds at the start of the current stretch
//   word 7       nanoseconds in the cyclic garbage collector
// The holder writes through a guarded mapping with relaxed stores, between two stores of
// the sequence (a sequence lock: one writer, the GIL serialising the process's threads).
// A reader reads the sequence, the file and the sequence again, and keeps what it read
// when both were the same even number; reads are system calls, which order the loads
// of one before those of the next.
#include "worker_slots.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

// Open-file-description locks are Linux's since 3.15; C libraries older than glibc 2.20
// do not name them.
#ifndef F_OFD_GETLK
#define F_OFD_GETLK 36
#define F_OFD_SETLK 37
#endif

namespace worker_slots {

namespace {

constexpr std::string_view PREFIX = "vrk-worker-";
constexpr std::string_view SUFFIX = ".slot";
constexpr std::size_t SLOT_BYTES = 16;
constexpr std::uint64_t FIGURES_MAGIC = 0x31'67'66'6C'73'6B'72'76;  // "vrkslfg1"
enum Word : std::size_t { MAGIC = 2, SEQUENCE, IN_FLIGHT, BUSY_NS, SINCE_NS, GC_NS, WORDS };
constexpr std::size_t FILE_BYTES = WORDS * 8;
// Tries of a reader that keeps meeting the holder amid a write.
constexpr int READ_TRIES = 16;
// Far more than any server runs at once: a process that finds this many slots of its
// user held stays out of view.
constexpr std::uint32_t MAX_TRIES = 4096;
// Readable by a monitor running as another user, writable by the holder's user alone.
constexpr mode_t FILE_MODE = 0644;

std::string slot_name(std::uint32_t slot) {
    return std::string(PREFIX) + std::to_string(slot) + std::string(SUFFIX);
}

// The slot a file name stands for, when it is one as slots are written.
std::optional<std::uint32_t> slot_of(std::string_view name) {
    if (!name.starts_with(PREFIX) || !name.ends_with(SUFFIX)) return std::nullopt;
    const std::string_view digits =
        name.substr(PREFIX.size(), name.size() - PREFIX.size() - SUFFIX.size());
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0'))
        return std::nullopt;
    std::uint32_t slot = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), slot);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return slot;
}

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// The pid written in a held slot; nothing for the moment between a new holder's lock
// and its write, or for text that is not a pid.
std::optional<pid_t> pid_in(int fd) {
    char text[SLOT_BYTES];
    const ssize_t got = pread(fd, text, sizeof text, 0);
    if (got <= 0) return std::nullopt;
    std::string_view digits(text, static_cast<std::size_t>(got));
    while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || pid <= 0)
        return std::nullopt;
    return pid;
}

std::uint64_t word_of(const unsigned char* bytes, std::size_t word) {
    std::uint64_t value;
    std::memcpy(&value, bytes + word * 8, sizeof value);
    return value;
}

std::optional<std::uint64_t> sequence_in(int fd) {
    std::uint64_t sequence;
    if (pread(fd, &sequence, sizeof sequence, SEQUENCE * 8) != sizeof sequence) return std::nullopt;
    return sequence;
}

// What the holder of the slot open at `fd` is doing, read consistently; nothing for a
// slot without figures, or one whose holder is amid a write at every try.
std::optional<Activity> activity_in(int fd) {
    const auto now = static_cast<std::uint64_t>(clock_ns());
    for (int attempt = 0; attempt < READ_TRIES; ++attempt) {
        unsigned char bytes[FILE_BYTES];
        const auto before = sequence_in(fd);
        if (!before || pread(fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes) ||
            word_of(bytes, MAGIC) != FIGURES_MAGIC)
            return std::nullopt;
        if (*before % 2 != 0 || sequence_in(fd) != before) continue;
        // Unsigned throughout: the words are whatever the file holds.
        std::uint64_t busy_ns = word_of(bytes, BUSY_NS);
        const std::uint64_t since = word_of(bytes, SINCE_NS);
        const auto margin = static_cast<std::uint64_t>(READ_MARGIN_NS);
        if (word_of(bytes, IN_FLIGHT) > 0 && since < now && now - since > margin)
            busy_ns += now - since - margin;
        return Activity{word_of(bytes, IN_FLIGHT), static_cast<double>(busy_ns) / 1e9,
                        static_cast<double>(word_of(bytes, GC_NS)) / 1e9};
    }
    return std::nullopt;
}

// ---- this process's figures ---------------------------------------------------------

// What this process is doing; written under the GIL only.
struct Figures {
    std::uint64_t in_flight = 0;
    std::uint64_t busy_ns = 0;
    std::int64_t since_ns = 0;
    std::uint64_t gc_ns = 0;
    std::int64_t gc_since_ns = 0;  // 0 outside a collection
};
Figures FIGURES;

// The words of the current slot's mapping, or none.
std::atomic<std::uint64_t*> PUBLISHED{nullptr};

constexpr std::uint64_t NEVER = UINT64_MAX;
std::uint64_t CLAIM_TRIED_GENERATION = NEVER;
std::uint64_t CLAIM_TRIED_SECOND = NEVER;

// A forked child is a worker of its own: it starts from nothing, and must not write into
// its parent's slot, whose mapping it shares.
[[maybe_unused]] const int FORK_HANDLER = pthread_atfork(nullptr, nullptr, [] {
    FIGURES = Figures{};
    PUBLISHED.store(nullptr, std::memory_order_relaxed);
    CLAIM_TRIED_GENERATION = NEVER;
    CLAIM_TRIED_SECOND = NEVER;
});

std::atomic_ref<std::uint64_t> at(std::uint64_t* words, Word word) {
    return std::atomic_ref<std::uint64_t>(words[word]);
}

void write_figures(std::uint64_t* words) {
    constexpr auto RELAXED = std::memory_order_relaxed;
    const std::uint64_t sequence = at(words, SEQUENCE).load(RELAXED);
    at(words, SEQUENCE).store(sequence + 1, RELAXED);
    std::atomic_thread_fence(std::memory_order_release);
    at(words, IN_FLIGHT).store(FIGURES.in_flight, RELAXED);
    at(words, BUSY_NS).store(FIGURES.busy_ns, RELAXED);
    at(words, SINCE_NS).store(static_cast<std::uint64_t>(FIGURES.since_ns), RELAXED);
    at(words, GC_NS).store(FIGURES.gc_ns, RELAXED);
    at(words, SEQUENCE).store(sequence + 2, std::memory_order_release);
}

void publish() {
    if (std::uint64_t* words = PUBLISHED.load(std::memory_order_relaxed)) write_figures(words);
}

// The nanoseconds from `since` to `now`; none for a clock that seems to run back.
std::uint64_t elapsed(std::int64_t since, std::int64_t now) {
    return now > since ? static_cast<std::uint64_t>(now - since) : 0;
}

}  // namespace

Publication::Publication(worker_files::Mapping mapping) : mapping_(std::move(mapping)) {
    auto* words = static_cast<std::uint64_t*>(mapping_.data());
    write_figures(words);
    at(words, MAGIC).store(FIGURES_MAGIC, std::memory_order_release);
    PUBLISHED.store(words, std::memory_order_relaxed);
}

Publication& Publication::operator=(Publication&& other) noexcept {
    Publication old(std::move(*this));
    mapping_ = std::move(other.mapping_);
    return *this;
}

Publication::~Publication() {
    std::uint64_t* words = static_cast<std::uint64_t*>(mapping_.data());
    if (words != nullptr) PUBLISHED.compare_exchange_strong(words, nullptr);
}

std::int64_t clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t begin_request() {
    const std::int64_t now = clock_ns();
    if (FIGURES.in_flight++ == 0) FIGURES.since_ns = now;
    publish();
    return now;
}

std::int64_t end_request() {
    const std::int64_t now = clock_ns();
    if (FIGURES.in_flight == 0) return now;
    if (--FIGURES.in_flight == 0) FIGURES.busy_ns += elapsed(FIGURES.since_ns, now);
    publish();
    return now;
}

void gc_started() {
    FIGURES.gc_since_ns = clock_ns();
}

void gc_stopped() {
    if (FIGURES.gc_since_ns == 0) return;
    FIGURES.gc_ns += elapsed(FIGURES.gc_since_ns, clock_ns());
    FIGURES.gc_since_ns = 0;
    publish();
}

bool claim_due(std::uint64_t generation, std::uint64_t second) {
    if (generation != CLAIM_TRIED_GENERATION) {
        CLAIM_TRIED_GENERATION = generation;
        CLAIM_TRIED_SECOND = second;
        return true;
    }
    if (PUBLISHED.load(std::memory_order_relaxed) != nullptr || second == CLAIM_TRIED_SECOND)
        return false;
    CLAIM_TRIED_SECOND = second;
    return true;
}

std::optional<Claim> claim(const worker_files::Directory& directory, const std::string& dir,
                           pid_t pid) {
    std::uint32_t tried = 0;
    for (std::uint32_t slot = 0; tried < MAX_TRIES && slot < UINT32_MAX; ++slot) {
        const std::string name = slot_name(slot);
        worker_files::FileDescriptor fd(
            openat(directory.fd.get(), name.c_str(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, FILE_MODE));
        struct stat info {};
        if (!fd) {
            // EACCES: somebody else's file; ELOOP, ENXIO, EISDIR: not a plain file.
            if (errno == EACCES || errno == ELOOP || errno == ENXIO || errno == EISDIR ||
                errno == EPERM)
                continue;
            return std::nullopt;
        }
        if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
            info.st_uid != directory.user)
            continue;
        ++tried;
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) continue;  // held by a live worker
        // The pid and no figures: the previous holder's stay nobody's.
        char text[FILE_BYTES] = {};
        std::memset(text, ' ', SLOT_BYTES);
        std::to_chars(text, text + SLOT_BYTES, pid);
        if (pwrite(fd.get(), text, sizeof text, 0) != static_cast<ssize_t>(sizeof text))
            return std::nullopt;
        std::string path = dir;
        if (path.back() != '/') path += '/';
        path += name;
        // Without a mapping (a full disk) the slot is still held, and shows no figures.
        worker_files::Mapping mapping = worker_files::Mapping::allocate(fd.get(), FILE_BYTES);
        Publication publication = mapping ? Publication(std::move(mapping)) : Publication();
        return Claim{std::move(fd), std::move(path), worker_files::identity_of(info), slot,
                     std::move(publication)};
    }
    return std::nullopt;
}

bool still_held(const Claim& claim) {
    return worker_files::still_named(claim.path, claim.identity);
}

std::vector<Holder> holders(const worker_files::Directory& directory,
                            const worker_files::Names& names) {
    std::vector<Holder> held;
    for (const std::string& name : names) {
        const auto slot = slot_of(name);
        if (!slot) continue;
        struct stat info {};
        const worker_files::FileDescriptor fd =
            worker_files::open_countable(directory, name.c_str(), info);
        if (!fd) continue;
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd.get(), F_OFD_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) continue;
        if (const auto pid = pid_in(fd.get())) held.push_back({*slot, *pid, activity_in(fd.get())});
    }
    std::sort(held.begin(), held.end(),
              [](const Holder& a, const Holder& b) { return a.slot < b.slot; });
    return held;
}

}  // namespace worker_slots
