// Shard files: each worker process counts its requests into a 176-byte file of its
// own in a shared directory, and any process sums the files of all workers, alive or
// gone, through the retained totals that gone workers' shards are folded into.
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
// the 176 bytes with one read and no lock, so a reader may see a request in `requests`
// before it shows up in its bucket; every word on its own is one that the writer really
// stored.
//
// The retained totals of the shards ("vrk-shards.<uid>.retained", format in
// worker_files.cpp) carry a payload of 19 words: requests, errors, latency_sum_us,
// latency_min_us, latency_max_us and the 14 buckets, summed with the merge's arithmetic.
// A merge counts every countable shard that is not recorded as folded, whether its
// writer lives or not; liveness decides only what a fold may move into the retained
// totals and delete. So a merge's result never depends on a fold having happened, and a
// fold never makes the sum go down.
#include "multiproc.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "shard_directory.hpp"
#include "text.hpp"
#include "worker_files.hpp"

namespace multiproc {

namespace {

using worker_files::FileDescriptor;
using worker_files::Mapping;

constexpr std::size_t SHARD_WORDS = 22;
constexpr std::size_t SHARD_SIZE = SHARD_WORDS * 8;
static_assert(SHARD_SIZE == SHARD_BYTES);
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

// Names the fold lock and the retained totals of the shard files.
constexpr std::string_view FAMILY = "shards";

// The own shard's words: every access goes through atomic_ref, plain stores included,
// since other processes read the same words while this one writes them.
class ShardWords {
public:
    explicit ShardWords(const Mapping& mapping)
        : words_(static_cast<std::uint64_t*>(mapping.data())) {}
    std::atomic_ref<std::uint64_t> operator[](std::size_t word) const {
        return std::atomic_ref<std::uint64_t>(words_[word]);
    }

private:
    std::uint64_t* words_;
};

// This process's shard: the locked file, its mapping, and the path the once-a-second
// check looks at.
struct Writer {
    worker_files::OwnFile file;
    Mapping shard;
    std::string path;
    pid_t pid = 0;
};

// The writer for one choice of directory and one fork count, or none while aggregation
// is off.
struct State {
    std::optional<Writer> writer;
    std::string dir;
    std::uint64_t generation = UINT64_MAX;  // of no choice yet
    std::uint64_t forks = 0;
    std::uint64_t checked_second = 0;
};

std::mutex STATE_LOCK;
State STATE;

constexpr auto RELAXED = std::memory_order_relaxed;

std::string shard_name(pid_t pid) {
    return std::string(SHARD_PREFIX) + std::to_string(pid) + std::string(SHARD_SUFFIX);
}

void initialise(ShardWords shard, std::uint64_t pid) {
    for (std::size_t word = 0; word < SHARD_WORDS; ++word) shard[word].store(0, RELAXED);
    shard[VERSION].store(SHARD_VERSION, RELAXED);
    shard[PID].store(pid, RELAXED);
    shard[LATENCY_MIN_US].store(units::NO_LATENCY, RELAXED);
    shard[UPDATED_AT].store(units::unix_seconds(), RELAXED);
}

using Words = std::array<std::uint64_t, SHARD_WORDS>;

bool read_words(int fd, Words& words) {
    return pread(fd, words.data(), SHARD_SIZE, 0) == static_cast<ssize_t>(SHARD_SIZE);
}

std::span<const std::byte> bytes_of(const Words& words) {
    return std::as_bytes(std::span(words));
}

// Creates this process's shard in `dir`, or continues a leftover "vrk-<pid>.shard" of an
// earlier process with the same pid that nobody holds. The directory may be shared with
// other users, so only a plain file of ours is ever adopted, and a name that is taken by
// anything else just means another name.
std::optional<Writer> open_writer(const std::string& dir) {
    const auto directory = worker_files::open_directory(dir, true);
    if (!directory) return std::nullopt;
    const pid_t pid = getpid();
    const auto own_pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid));

    Mapping shard;
    // With the file's lock ours, no folder can fold it any more; one may have done so
    // already and died before deleting it, and then its counts are in the retained totals.
    auto file = worker_files::adopt_own(*directory, shard_name(pid), [&](int fd) {
        Words words;
        struct stat info {};
        if (!read_words(fd, words) || words[VERSION] != SHARD_VERSION || words[PID] != own_pid ||
            fstat(fd, &info) != 0 ||
            worker_files::RetainedView::read(*directory, FAMILY)
                .was_folded(worker_files::identity_of(info), bytes_of(words)))
            return false;
        shard = Mapping::allocate(fd, SHARD_SIZE);
        return static_cast<bool>(shard);
    });
    if (!file) {
        const std::string names[] = {shard_name(pid), worker_files::spare_name(pid, SHARD_SUFFIX),
                                     worker_files::spare_name(pid, SHARD_SUFFIX),
                                     worker_files::spare_name(pid, SHARD_SUFFIX)};
        file = worker_files::create_own(*directory, names, [&](int fd) {
            shard = Mapping::allocate(fd, SHARD_SIZE);
            if (shard) initialise(ShardWords(shard), own_pid);
            return static_cast<bool>(shard);
        });
    }
    if (!file) return std::nullopt;
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += file->name;
    return Writer{std::move(*file), std::move(shard), std::move(path), pid};
}

// Opens the shard for `choice`, or gives the choice up when it cannot be made: a
// directory where this process keeps no shard is none it aggregates in.
void open_for(State& state, const shard_directory::Choice& choice) {
    state.writer.reset();  // let go first: the same directory again adopts the same file
    state.generation = choice.generation;
    state.forks = shard_directory::forks();
    state.checked_second = 0;
    state.dir = choice.dir.value_or("");
    if (!choice.dir) return;
    state.writer = open_writer(*choice.dir);
    if (!state.writer) shard_directory::give_up(choice.generation);
}

enum class Use { read, record };

// The writer for the current choice: a new choice opens another, and so does the first
// request after a fork (a child that only reads makes no file; its parent's file stays
// locked while the child holds it, so nothing is lost either way).
Writer* current_writer(State& state, Use use) {
    if (state.generation != shard_directory::generation() ||
        (use == Use::record && state.forks != shard_directory::forks()))
        open_for(state, shard_directory::current());
    return state.writer ? &*state.writer : nullptr;
}

// Once a second: a shard whose name is gone, say because the directory was wiped, or
// that was cut short, is replaced by a fresh one. Until a replacement can be made,
// counting goes on where it was.
void keep_healthy(State& state, std::uint64_t now) {
    state.checked_second = now;
    shard_directory::note_checked(now);
    const Writer& writer = *state.writer;
    const auto placement = worker_files::placement(writer.path, writer.file.identity, writer.shard);
    if (placement == worker_files::Placement::in_place) return;
    // A shard cut short lost its counts already; its name goes to the fresh one.
    if (placement == worker_files::Placement::damaged)
        worker_files::remove_own(writer.path, writer.file.identity);
    if (auto fresh = open_writer(state.dir)) state.writer = std::move(*fresh);
}

}  // namespace

namespace {

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

bool is_shard_name(std::string_view name) {
    return worker_files::is_worker_name(name, SHARD_SUFFIX);
}

// The merge's arithmetic, used alike for shards and for retained totals.
void add(MergedShards& total, const MergedShards& part) {
    total.requests += part.requests;
    total.errors += part.errors;
    total.latency_sum_us = units::saturating_add(total.latency_sum_us, part.latency_sum_us);
    total.latency_min_us = std::min(total.latency_min_us, part.latency_min_us);
    total.latency_max_us = std::max(total.latency_max_us, part.latency_max_us);
    for (std::size_t i = 0; i < BUCKET_COUNT; ++i) total.buckets[i] += part.buckets[i];
}

MergedShards totals_of(const Words& shard) {
    MergedShards totals;
    totals.requests = shard[REQUESTS];
    totals.errors = shard[ERRORS];
    totals.latency_sum_us = shard[LATENCY_SUM_US];
    totals.latency_min_us = shard[LATENCY_MIN_US];
    totals.latency_max_us = shard[LATENCY_MAX_US];
    for (std::size_t i = 0; i < BUCKET_COUNT; ++i) totals.buckets[i] = shard[BUCKETS + i];
    return totals;
}

// The retained payload: requests, errors, latency_sum_us, latency_min_us,
// latency_max_us, then the 14 buckets.
constexpr std::size_t RETAINED_WORDS = 5 + BUCKET_COUNT;

std::vector<std::byte> encode_retained(const MergedShards& totals) {
    std::array<std::uint64_t, RETAINED_WORDS> words{totals.requests, totals.errors,
                                                    totals.latency_sum_us, totals.latency_min_us,
                                                    totals.latency_max_us};
    std::copy(totals.buckets.begin(), totals.buckets.end(), words.begin() + 5);
    const auto bytes = std::as_bytes(std::span(words));
    return {bytes.begin(), bytes.end()};
}

// A payload of another size is not ours and counts as nothing, for readers and folders
// alike.
MergedShards decode_retained(std::span<const std::byte> payload) {
    MergedShards totals;
    std::array<std::uint64_t, RETAINED_WORDS> words;
    if (payload.size() != sizeof words) return totals;
    std::memcpy(words.data(), payload.data(), sizeof words);
    totals.requests = words[0];
    totals.errors = words[1];
    totals.latency_sum_us = words[2];
    totals.latency_min_us = words[3];
    totals.latency_max_us = words[4];
    std::copy(words.begin() + 5, words.end(), totals.buckets.begin());
    return totals;
}

// The shards as a kind of worker file: read when whole and of version 1, with a pid
// that names one process (0 and negative ids address groups); the figures of shards
// and retained totals add up with the merge's arithmetic.
struct ShardKind {
    using Image = Words;
    using Totals = MergedShards;
    std::string family{FAMILY};

    bool is_name(std::string_view name) const { return is_shard_name(name); }
    std::optional<Image> read(int fd, const struct stat& info) const {
        Words words;
        // The words are aligned in the file and in the buffer, and the kernel copies such
        // words whole.
        if (info.st_size < static_cast<off_t>(SHARD_SIZE) || !read_words(fd, words) ||
            words[VERSION] != SHARD_VERSION || pid(words) <= 0)
            return std::nullopt;
        return words;
    }
    pid_t pid(const Image& words) const { return worker_files::pid_in_word(words[PID]); }
    std::span<const std::byte> bytes(const Image& words) const { return bytes_of(words); }
    void add_retained(Totals& totals, std::span<const std::byte> payload) const {
        multiproc::add(totals, decode_retained(payload));
    }
    bool add(Totals& totals, const Image& words) const {
        multiproc::add(totals, totals_of(words));
        return true;
    }
    bool fits(const Totals&, const Image&) const { return true; }
    std::vector<std::byte> encode(const Totals& totals) const { return encode_retained(totals); }
};

}  // namespace

void record(std::uint16_t status_code, double duration_ms) {
    if (shard_directory::known_off()) return;
    std::lock_guard guard(STATE_LOCK);
    Writer* writer = current_writer(STATE, Use::record);
    if (writer == nullptr) return;
    const std::uint64_t now = units::unix_seconds();
    if (now != STATE.checked_second) {
        keep_healthy(STATE, now);
        writer = &*STATE.writer;
    }
    const ShardWords shard(writer->shard);
    const std::uint64_t micros = units::latency_us(duration_ms);
    shard[REQUESTS].fetch_add(1, RELAXED);
    if (status_code >= units::ERROR_STATUS) shard[ERRORS].fetch_add(1, RELAXED);
    shard[LATENCY_SUM_US].fetch_add(micros, RELAXED);
    fetch_min(shard[LATENCY_MIN_US], micros);
    fetch_max(shard[LATENCY_MAX_US], micros);
    shard[BUCKETS + bucket_index(duration_ms)].fetch_add(1, RELAXED);
    shard[UPDATED_AT].store(now, RELAXED);
}

void set_dir(const std::optional<std::string>& dir) {
    std::lock_guard guard(STATE_LOCK);
    // The old shard is let go first: selecting the same directory again then adopts the
    // same file, whose lock has just been released, and keeps its counters.
    STATE.writer.reset();
    shard_directory::choose(dir);
    open_for(STATE, shard_directory::current());
}

std::optional<std::string> dir() {
    std::lock_guard guard(STATE_LOCK);
    if (current_writer(STATE, Use::read) == nullptr) return std::nullopt;
    return STATE.dir;
}

ShardReading read_shards(const worker_files::Directory& directory, const worker_files::Names& names,
                         worker_files::Keep keep, worker_files::Tidy tidy) {
    const ShardKind kind;
    auto merge = worker_files::merge(directory, names, kind, MergedShards{}, keep, tidy);
    ShardReading reading{merge.totals, {}};
    for (const auto& file : merge.files) {
        // Taking a gone writer's lock for a moment keeps nobody out: nobody holds it.
        if (worker_files::writer_gone(file.fd.get(), kind.pid(file.image))) continue;
        const MergedShards totals = totals_of(file.image);
        reading.live.push_back(
            {file.name, kind.pid(file.image), totals.requests, totals.errors, totals.buckets});
    }
    return reading;
}

std::optional<MergedShards> merged() {
    const std::optional<std::string> directory_text = dir();
    if (!directory_text) return std::nullopt;
    const auto directory = worker_files::open_directory(*directory_text, false);
    if (!directory) return MergedShards{};
    return read_shards(*directory, worker_files::list_names(*directory), worker_files::Keep::totals,
                       worker_files::Tidy::fold)
        .totals;
}

}  // namespace multiproc
