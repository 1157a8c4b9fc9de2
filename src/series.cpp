// The series table: one slot per (method, route, status) with a latency sum and a
// histogram, in fixed memory, so that recording into an existing series allocates
// nothing. With a shard directory the table is a file of its own there, which every
// worker reads when it merges; without one it lives in anonymous memory.
//
// Layout of a table ("vrk-<pid>.series", or "vrk-<pid>-<8 hex digits>.series" when that
// name is taken; the shard filter `vrk-*.shard` matches neither). Unsigned 64-bit words
// in native byte order.
//   Header, HEADER_WORDS words:
//     word 0        MAGIC, which also carries the format version
//     word 1        pid of the writer (32-bit id, zero-extended); 0 in retained totals
//     word 2        capacity: slots in the file, the overflow slot included
//     word 3        used: slots published so far; they are filled in order
//     word 4        n, the number of finite bucket bounds (1 to MAX_BOUNDS)
//     words 5-36    the bounds in seconds as IEEE-754 doubles; unused ones are 0
//   Then `capacity` slots of 36 + n words each:
//     word 0        check: a hash of words 1-33 with the low bit set; 0 while empty
//     word 1        key: method index (bits 0-7), status code (8-23), overflow flag
//                   (bit 24), route length in bytes (32-47)
//     words 2-33    route, UTF-8, zero-padded to MAX_ROUTE_BYTES
//     word 34       latency_sum_us, wrapping
//     words 35-    request counts per bucket: n finite bounds, then +Inf; not cumulative
// A slot's key is written once, before its check word is stored with release order,
// and never changes; `used` is raised after that. A reader takes the words with plain
// reads and keeps a slot only when its check word matches the key it read, so a key
// still on its way is skipped, never misread. A slot's request count is the sum of its
// buckets, so the counter and the histogram's count of a series always agree.
//
// The file is made, claimed, judged gone and folded by the rules of worker_files: when
// its writer is gone, a merge folds its series into the retained totals of the family
// "series-<hash of the bounds>", whose payload is a table image in the same layout
// (header and `used` slots, pid 0), so counters never go down when workers are recycled.
#include "series.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "shard_directory.hpp"
#include "text.hpp"
#include "units.hpp"
#include "worker_files.hpp"
#include "worker_slots.hpp"

namespace series {

namespace {

using worker_files::FileDescriptor;

constexpr auto RELAXED = std::memory_order_relaxed;

// "VRKSER" and the format version 1.
constexpr std::uint64_t MAGIC = 0x00015245534B5256ULL;
enum HeaderWord : std::size_t {
    MAGIC_WORD = 0,
    PID = 1,
    CAPACITY = 2,
    USED = 3,
    BOUND_COUNT = 4,
    BOUNDS = 5
};
constexpr std::size_t HEADER_WORDS = BOUNDS + MAX_BOUNDS;

constexpr std::size_t ROUTE_WORDS = MAX_ROUTE_BYTES / 8;
enum SlotWord : std::size_t {
    CHECK = 0,
    KEY = 1,
    ROUTE = 2,
    LATENCY_SUM_US = ROUTE + ROUTE_WORDS,
    BUCKETS
};

constexpr std::size_t slot_words(std::size_t bound_count) {
    return BUCKETS + bound_count + 1;
}

constexpr std::uint64_t OVERFLOW_FLAG = std::uint64_t{1} << 24;
constexpr std::string_view SERIES_PREFIX = "vrk-";
constexpr std::string_view SERIES_SUFFIX = ".series";
// Retained totals hold the series of every gone worker, more than one process may
// keep: up to this many times the cap of a process, and MAX_RETAINED_BYTES.
constexpr std::uint64_t RETAINED_FACTOR = 8;
constexpr std::size_t MAX_RETAINED_BYTES = std::size_t{48} << 20;

std::uint64_t pack_key(std::uint8_t method, std::uint16_t status_code, bool overflow,
                       std::size_t route_bytes) {
    return method | std::uint64_t{status_code} << 8 | (overflow ? OVERFLOW_FLAG : 0) |
           static_cast<std::uint64_t>(route_bytes) << 32;
}

std::size_t route_length(std::uint64_t key) {
    return (key >> 32) & 0xFFFF;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
    return hash ^ (hash >> 29);
}

// The tail of a route is composed as the little-endian word that its zero-padded slot
// holds.
static_assert(std::endian::native == std::endian::little);

// A hash of the key word and the route, taken eight bytes at a time as the route lies
// zero-padded in its slot; the low bit marks a published slot. The words are multiplied
// independently and mixed once at the end, which keeps the multiplications off one
// chain on the record path.
std::uint64_t check_word(std::uint64_t key, std::string_view route) {
    std::uint64_t hash = key * 0xC2B2AE3D27D4EB4FULL;
    std::size_t i = 0;
    for (; i + 8 <= route.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, route.data() + i, 8);
        hash ^= std::rotl((word + i) * 0x9E3779B97F4A7C15ULL, static_cast<int>(i % 64));
    }
    if (i < route.size()) {
        // The tail byte by byte: a short memcpy into a word costs a call and a stalled load.
        std::uint64_t word = 0;
        for (std::size_t j = route.size(); j-- > i;)
            word = word << 8 | static_cast<unsigned char>(route[j]);
        hash ^= std::rotl((word + i) * 0x9E3779B97F4A7C15ULL, static_cast<int>(i % 64));
    }
    return mix(hash, route.size()) | 1;
}

std::uint8_t method_index(std::string_view method) {
    for (std::size_t i = 0; i < OTHER_METHOD; ++i)
        if (METHODS[i] == method) return static_cast<std::uint8_t>(i);
    return OTHER_METHOD;
}

std::size_t table_words(std::size_t bound_count, std::uint64_t slots) {
    return HEADER_WORDS + slots * slot_words(bound_count);
}

std::uint64_t bound_bits(double bound) {
    return std::bit_cast<std::uint64_t>(bound);
}

bool same_bounds(std::span<const std::uint64_t> header, const std::vector<double>& bounds_s) {
    if (header[BOUND_COUNT] != bounds_s.size()) return false;
    for (std::size_t i = 0; i < bounds_s.size(); ++i)
        if (header[BOUNDS + i] != bound_bits(bounds_s[i])) return false;
    return true;
}

// Families of retained totals are kept apart by their bounds: tables with other bounds
// are never added together.
std::string family_of(const std::vector<double>& bounds_s) {
    std::uint64_t hash = 0x243F6A8885A308D3ULL;
    for (const double bound : bounds_s) hash = mix(hash, bound_bits(bound));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("series-") + hex;
}

// Anonymous memory for a table of a process without a directory; unmapped on destruction.
class Memory {
public:
    Memory() = default;
    explicit Memory(std::size_t bytes)
        : address_(
              mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)),
          bytes_(bytes) {
        if (address_ == MAP_FAILED) throw std::bad_alloc();
    }
    Memory(Memory&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), bytes_(other.bytes_) {}
    Memory& operator=(Memory&& other) noexcept {
        Memory old(std::move(*this));
        address_ = std::exchange(other.address_, nullptr);
        bytes_ = other.bytes_;
        return *this;
    }
    ~Memory() {
        if (address_) munmap(address_, bytes_);
    }
    void* data() const { return address_; }

private:
    void* address_ = nullptr;
    std::size_t bytes_ = 0;
};

// Where a table with a directory lives: its locked file, mapped.
struct Backing {
    worker_files::OwnFile file;
    worker_files::Mapping mapping;
    std::string path;
};

constexpr std::uint32_t NO_SLOT = UINT32_MAX;

// This process's table and the index that finds a key's slot without a search.
struct Table {
    Memory memory;
    std::optional<Backing> backing;
    std::uint64_t* words = nullptr;
    std::size_t bound_count = 0;
    std::size_t slot_size = 0;  // words
    std::uint64_t capacity = 0;
    std::uint64_t used = 0;
    std::uint64_t regular = 0;  // slots other than the overflow slot
    std::uint32_t overflow_slot = NO_SLOT;
    std::vector<std::uint32_t> index;  // open addressing: slot + 1, 0 when free
    std::uint64_t dir_generation = 0;
    std::uint64_t fork_generation = 0;
    std::uint64_t checked_second = 0;
    // The worker slot this process is shown under, held with the table.
    std::optional<worker_slots::Claim> worker_slot;
    // In memory although a directory is set: its file could not be made (a full disk),
    // so no merge sees these series until a retry makes it.
    bool file_missing = false;

    std::uint64_t* slot(std::size_t i) const { return words + HEADER_WORDS + i * slot_size; }
    // Other processes read these words while this one writes them.
    std::atomic_ref<std::uint64_t> word(std::size_t w) const {
        return std::atomic_ref<std::uint64_t>(words[w]);
    }
    std::atomic_ref<std::uint64_t> word(std::size_t i, std::size_t w) const {
        return std::atomic_ref<std::uint64_t>(slot(i)[w]);
    }
    std::span<const std::uint64_t> image() const { return {words, table_words(bound_count, used)}; }
};

struct State {
    std::mutex lock;
    std::vector<double> bounds_s{DEFAULT_BOUNDS_S.begin(), DEFAULT_BOUNDS_S.end()};
    std::uint64_t max_series = DEFAULT_MAX_SERIES;
    std::optional<Table> table;
    bool overflow_reported = false;
    bool missing_file_reported = false;
    // Why the table of the current directory lives in memory instead of its file.
    std::string file_problem;
};

State& STATE() {
    static State* state = new State();  // never destroyed: requests may be recorded during exit
    return *state;
}

std::uint64_t own_pid() {
    return static_cast<std::uint32_t>(getpid());
}

void write_header(const Table& table, std::uint64_t pid, const std::vector<double>& bounds_s) {
    table.word(PID).store(pid, RELAXED);
    table.word(CAPACITY).store(table.capacity, RELAXED);
    table.word(USED).store(0, RELAXED);
    table.word(BOUND_COUNT).store(bounds_s.size(), RELAXED);
    for (std::size_t i = 0; i < MAX_BOUNDS; ++i)
        table.word(BOUNDS + i).store(i < bounds_s.size() ? bound_bits(bounds_s[i]) : 0, RELAXED);
    table.word(MAGIC_WORD).store(MAGIC, std::memory_order_release);
}

std::size_t index_position(const Table& table, std::uint64_t check) {
    return static_cast<std::size_t>(check >> 1) & (table.index.size() - 1);
}

void index_slot(Table& table, std::uint32_t i) {
    if (table.slot(i)[KEY] & OVERFLOW_FLAG) {
        table.overflow_slot = i;
        return;
    }
    ++table.regular;
    std::size_t position = index_position(table, table.slot(i)[CHECK]);
    while (table.index[position] != 0) position = (position + 1) & (table.index.size() - 1);
    table.index[position] = i + 1;
}

Table make_table(std::uint64_t* words, std::size_t bound_count, std::uint64_t capacity) {
    Table table;
    table.words = words;
    table.bound_count = bound_count;
    table.slot_size = slot_words(bound_count);
    table.capacity = capacity;
    table.index.assign(std::bit_ceil(capacity * 2), 0);
    return table;
}

// Picks up the slots of a table this process wrote before (the same directory chosen
// again, or a leftover file of an earlier process with the same pid). Whatever the file
// says, at most `capacity - 1` regular slots and one overflow slot are taken, so that
// every later slot, the overflow slot included, still fits in the mapping.
void adopt(Table& table) {
    const auto used = std::min(table.word(USED).load(std::memory_order_acquire), table.capacity);
    for (std::uint64_t i = 0; i < used; ++i) {
        const std::uint64_t* slot = table.slot(i);
        const std::uint64_t key = slot[KEY];
        const std::string_view route(reinterpret_cast<const char*>(slot + ROUTE),
                                     std::min(route_length(key), MAX_ROUTE_BYTES));
        if (slot[CHECK] != check_word(key, route)) break;  // never published whole
        const bool overflow = (key & OVERFLOW_FLAG) != 0;
        if (overflow ? table.overflow_slot != NO_SLOT : table.regular + 1 >= table.capacity) break;
        index_slot(table, static_cast<std::uint32_t>(i));
        table.used = i + 1;
    }
    table.word(USED).store(table.used, std::memory_order_release);
}

std::string series_name(pid_t pid) {
    return std::string(SERIES_PREFIX) + std::to_string(pid) + std::string(SERIES_SUFFIX);
}

bool is_series_name(std::string_view name) {
    return worker_files::is_worker_name(name, SERIES_SUFFIX);
}

// Read, never mapped: a file cut short by another process makes a read come up short,
// where a mapping would raise SIGBUS. Takes the header, then the published slots, as
// many as the file of `file_size` bytes really holds: a header may claim anything.
bool read_words(int fd, off_t file_size, std::vector<std::uint64_t>& words) {
    std::array<std::uint64_t, HEADER_WORDS> header{};
    if (file_size < static_cast<off_t>(sizeof header) ||
        pread(fd, header.data(), sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header[MAGIC_WORD] != MAGIC || header[BOUND_COUNT] == 0 ||
        header[BOUND_COUNT] > MAX_BOUNDS || header[CAPACITY] > MAX_MAX_SERIES + 1)
        return false;
    const std::uint64_t in_file = (static_cast<std::uint64_t>(file_size) / 8 - HEADER_WORDS) /
                                  slot_words(header[BOUND_COUNT]);
    const std::uint64_t used = std::min({header[USED], header[CAPACITY], in_file});
    words.assign(table_words(header[BOUND_COUNT], used), 0);
    const ssize_t got = pread(fd, words.data(), words.size() * 8, 0);
    if (got < static_cast<ssize_t>(sizeof header)) return false;
    words.resize(static_cast<std::size_t>(got) / 8);
    words[USED] = used;  // the header of the second read may count more slots
    return true;
}

std::span<const std::byte> bytes_of(const std::vector<std::uint64_t>& words) {
    return std::as_bytes(std::span(words));
}

// This process's table file in `dir`: a leftover "vrk-<pid>.series" of ours with the same
// layout is continued, otherwise a new file is published under a free name.
std::optional<Table> open_file_table(const worker_files::Directory& directory,
                                     const std::string& dir, const std::vector<double>& bounds_s,
                                     std::uint64_t capacity) {
    const pid_t pid = getpid();
    const std::size_t bytes = table_words(bounds_s.size(), capacity) * 8;

    worker_files::Mapping mapping;
    // With the file's lock ours, no folder can fold it any more; one may have done so
    // already and died before deleting it, and then its counts are in the retained totals.
    auto file = worker_files::adopt_own(directory, series_name(pid), [&](int fd) {
        std::vector<std::uint64_t> words;
        struct stat info {};
        if (fstat(fd, &info) != 0 || !read_words(fd, info.st_size, words) ||
            words[PID] != own_pid() || words[CAPACITY] != capacity ||
            !same_bounds(words, bounds_s) ||
            worker_files::RetainedView::read(directory, family_of(bounds_s))
                .was_folded(worker_files::identity_of(info), bytes_of(words)))
            return false;
        mapping = worker_files::Mapping::allocate(fd, bytes);
        return static_cast<bool>(mapping);
    });
    const bool adopted = file.has_value();
    if (!file) {
        const std::string names[] = {series_name(pid), worker_files::spare_name(pid, SERIES_SUFFIX),
                                     worker_files::spare_name(pid, SERIES_SUFFIX),
                                     worker_files::spare_name(pid, SERIES_SUFFIX)};
        file = worker_files::create_own(directory, names, [&](int fd) {
            mapping = worker_files::Mapping::allocate(fd, bytes);
            if (!mapping) return false;
            Table fresh =
                make_table(static_cast<std::uint64_t*>(mapping.data()), bounds_s.size(), capacity);
            write_header(fresh, own_pid(), bounds_s);
            return true;
        });
    }
    if (!file) return std::nullopt;
    Table table =
        make_table(static_cast<std::uint64_t*>(mapping.data()), bounds_s.size(), capacity);
    if (adopted) adopt(table);
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += file->name;
    table.backing = Backing{std::move(*file), std::move(mapping), std::move(path)};
    return table;
}

Table memory_table(const std::vector<double>& bounds_s, std::uint64_t capacity) {
    Memory memory(table_words(bounds_s.size(), capacity) * 8);
    Table table = make_table(static_cast<std::uint64_t*>(memory.data()), bounds_s.size(), capacity);
    table.memory = std::move(memory);
    write_header(table, own_pid(), bounds_s);
    return table;
}

void carry(Table& into, const Table& from, std::uint64_t max_series);

void claim_slot(Table& table, const worker_files::Directory& directory, const std::string& dir) {
    table.worker_slot.reset();  // a forked child's copy of its parent's descriptor goes first
    table.worker_slot = worker_slots::claim(directory, dir, getpid());
}

// The slow part of current_table: once a second, and whenever the table must change.
[[gnu::noinline]] Table& refresh_table(State& state, std::uint64_t forks) {
    std::optional<Table> carried;
    std::optional<worker_slots::Claim> kept_slot;
    if (state.table && state.table->dir_generation == shard_directory::generation() &&
        state.table->fork_generation == forks) {
        Table& table = *state.table;
        table.checked_second = shard_directory::checked_second();
        if (table.file_missing) {
            carried = std::move(state.table);
            kept_slot = std::move(carried->worker_slot);  // the same label after the move
        } else if (const auto placement = worker_files::placement(
                       table.backing->path, table.backing->file.identity, table.backing->mapping);
                   placement != worker_files::Placement::in_place) {
            // A table cut short lost its counts already; its name goes to the fresh one.
            if (placement == worker_files::Placement::damaged)
                worker_files::remove_own(table.backing->path, table.backing->file.identity);
            state.table.reset();  // unlocks and unmaps before a file of the same name is opened
        } else {
            if (!table.worker_slot || !worker_slots::still_held(*table.worker_slot)) {
                const std::optional<std::string> dir = shard_directory::current().dir;
                if (const auto directory =
                        dir ? worker_files::open_directory(*dir, false) : std::nullopt)
                    claim_slot(table, *directory, *dir);
            }
            return table;
        }
    }
    state.table.reset();
    const shard_directory::Choice choice = shard_directory::current();
    const std::optional<std::string>& dir = choice.dir;
    const std::uint64_t capacity = state.max_series + 1;
    std::optional<worker_files::Directory> directory;
    if (dir) directory = worker_files::open_directory(*dir, true);
    std::optional<Table> table;
    if (directory) table = open_file_table(*directory, *dir, state.bounds_s, capacity);
    if (dir && !table) state.file_problem = *dir + ": " + std::strerror(errno);
    if (table && carried) carry(*table, *carried, state.max_series);
    if (!table && carried) table = std::move(carried);
    if (!table) table = memory_table(state.bounds_s, capacity);
    table->file_missing = dir && !table->backing;
    table->dir_generation = choice.generation;
    table->fork_generation = forks;
    table->checked_second = shard_directory::checked_second();
    if (kept_slot && worker_slots::still_held(*kept_slot)) {
        table->worker_slot = std::move(kept_slot);
    } else if (directory) {
        claim_slot(*table, *directory, *dir);
    }
    state.table = std::move(table);
    return *state.table;
}

// The table for the current directory, and the worker slot that goes with it. A change
// of directory or a fork opens another, and so does a file whose name is gone (a wiped
// directory) or that was cut short, checked whenever the shard writer checks its own
// file, once a second.
// Without a usable directory file the table lives in memory, so requests still count;
// when a directory is set, making its file is tried again at every such check, and the
// series counted meanwhile move into it. A slot whose file is gone is claimed anew.
Table& current_table(State& state) {
    const std::uint64_t forks = shard_directory::forks();
    if (state.table && state.table->dir_generation == shard_directory::generation() &&
        state.table->fork_generation == forks) {
        Table& table = *state.table;
        if (!table.backing && !table.file_missing) return table;
        if (shard_directory::checked_second() == table.checked_second) return table;
    }
    return refresh_table(state, forks);
}

// The key and zeroed counts: a slot past an adopted table's end may hold words of a file
// that claimed more slots than it may have.
void write_key(std::uint64_t* slot, std::size_t slot_size, std::uint64_t key,
               std::string_view route) {
    slot[KEY] = key;
    std::memset(slot + ROUTE, 0, (slot_size - ROUTE) * 8);
    // The overflow series has no route, and an empty view may have no data at all.
    if (!route.empty()) std::memcpy(slot + ROUTE, route.data(), route.size());
}

// Writes the key into the next free slot and publishes it.
std::uint32_t add_slot(Table& table, std::uint64_t key, std::string_view route,
                       std::uint64_t check) {
    const auto i = static_cast<std::uint32_t>(table.used);
    write_key(table.slot(i), table.slot_size, key, route);
    table.word(i, CHECK).store(check, std::memory_order_release);
    table.used = i + 1;
    table.word(USED).store(table.used, std::memory_order_release);
    index_slot(table, i);
    return i;
}

std::uint64_t overflow_key() {
    return pack_key(OTHER_METHOD, 0, true, 0);
}

std::uint32_t overflow_slot(Table& table) {
    if (table.overflow_slot == NO_SLOT)
        add_slot(table, overflow_key(), {}, check_word(overflow_key(), {}));
    return table.overflow_slot;
}

// The slot of a key, added when new; NO_SLOT when the table has no room for it.
std::uint32_t find_or_add(Table& table, std::uint64_t key, std::string_view route,
                          std::uint64_t max_series) {
    const std::uint64_t check = check_word(key, route);
    const std::size_t mask = table.index.size() - 1;
    for (std::size_t position = index_position(table, check);; position = (position + 1) & mask) {
        const std::uint32_t entry = table.index[position];
        if (entry == 0) break;
        const std::uint64_t* slot = table.slot(entry - 1);
        if (slot[CHECK] == check && slot[KEY] == key &&
            (route.empty() || std::memcmp(slot + ROUTE, route.data(), route.size()) == 0))
            return entry - 1;
    }
    if (table.regular >= max_series) return NO_SLOT;
    return add_slot(table, key, route, check);
}

// Adds every series of `from` to `into`: the series a table in memory counted, moving
// into the file made for them at last.
void carry(Table& into, const Table& from, std::uint64_t max_series) {
    for (std::uint64_t i = 0; i < from.used; ++i) {
        const std::uint64_t* slot = from.slot(i);
        const std::uint64_t key = slot[KEY];
        std::uint32_t target = NO_SLOT;
        if (!(key & OVERFLOW_FLAG))
            target = find_or_add(into, key,
                                 {reinterpret_cast<const char*>(slot + ROUTE), route_length(key)},
                                 max_series);
        if (target == NO_SLOT) target = overflow_slot(into);
        for (std::size_t w = LATENCY_SUM_US; w < from.slot_size; ++w)
            into.word(target, w).store(into.slot(target)[w] + slot[w], RELAXED);
    }
}

// Only this process writes its table, under the state's lock (a forked child moves to a
// table of its own), so an add needs no read-modify-write instruction: a load and a
// store of whole words, which readers in other processes see whole.
void add(std::atomic_ref<std::uint64_t> word, std::uint64_t amount) {
    word.store(word.load(RELAXED) + amount, RELAXED);
}

std::size_t bucket_index(const std::vector<double>& bounds_s, double duration_ms) {
    const double seconds = duration_ms / 1000.0;
    for (std::size_t i = 0; i < bounds_s.size(); ++i)
        if (seconds <= bounds_s[i]) return i;
    return bounds_s.size();  // above the last bound, or NaN
}

std::optional<std::string> check_bounds(const std::vector<double>& bounds_s) {
    // Contract: callers may match these messages.
    if (bounds_s.empty() || bounds_s.size() > MAX_BOUNDS)
        return "duration_buckets must hold 1 to " + std::to_string(MAX_BOUNDS) + " bounds";
    for (std::size_t i = 0; i < bounds_s.size(); ++i) {
        if (!std::isfinite(bounds_s[i]) || bounds_s[i] <= 0.0)
            return "duration_buckets must be finite and positive";
        if (i > 0 && !(bounds_s[i - 1] < bounds_s[i]))
            return "duration_buckets must be strictly increasing";
    }
    return std::nullopt;
}

// ---- Merging -------------------------------------------------------------------------

// Series by what a document shows of them, summed over table images, in the order
// first seen.
class Accumulator {
public:
    explicit Accumulator(std::vector<double> bounds_s) : bounds_s_(std::move(bounds_s)) {}

    // Adds the published slots of a table image (its header, then its slots). False
    // when the image is not a table, or one with other bounds.
    bool add_image(std::span<const std::uint64_t> image) {
        return for_each_slot(image, [&](std::string id, Series labels, Counts counts) {
            const auto [entry, added] = positions_.try_emplace(std::move(id), series_.size());
            if (added) {
                Series& fresh = series_.emplace_back(std::move(labels));
                fresh.buckets.assign(bounds_s_.size() + 1, 0);
            }
            Series& into = series_[entry->second];
            into.latency_sum_us = units::saturating_add(into.latency_sum_us, counts.latency_sum_us);
            for (std::size_t b = 0; b < into.buckets.size(); ++b)
                into.buckets[b] += counts.buckets[b];
        });
    }

    // How many series of a table image are not here yet.
    std::size_t unseen(std::span<const std::uint64_t> image) const {
        std::unordered_set<std::string> fresh;
        for_each_slot(image, [&](std::string id, Series, Counts) {
            if (!positions_.contains(id)) fresh.insert(std::move(id));
        });
        return fresh.size();
    }

    std::size_t size() const { return series_.size(); }

    // A table image of every series, pid 0.
    std::vector<std::uint64_t> image() const {
        const std::size_t size = slot_words(bounds_s_.size());
        std::vector<std::uint64_t> words(table_words(bounds_s_.size(), series_.size()), 0);
        words[MAGIC_WORD] = MAGIC;
        words[CAPACITY] = words[USED] = series_.size();
        words[BOUND_COUNT] = bounds_s_.size();
        for (std::size_t i = 0; i < bounds_s_.size(); ++i)
            words[BOUNDS + i] = bound_bits(bounds_s_[i]);
        for (std::size_t i = 0; i < series_.size(); ++i) {
            const Series& one = series_[i];
            std::uint64_t* slot = words.data() + HEADER_WORDS + i * size;
            const std::uint64_t key =
                pack_key(one.method, one.status_code, one.overflow, one.route.size());
            write_key(slot, size, key, one.route);
            slot[CHECK] = check_word(key, one.route);
            slot[LATENCY_SUM_US] = one.latency_sum_us;
            std::copy(one.buckets.begin(), one.buckets.end(), slot + BUCKETS);
        }
        return words;
    }

    Merged result(std::uint64_t mismatched) && {
        Merged merged{std::move(bounds_s_), std::move(series_), mismatched};
        std::sort(merged.series.begin(), merged.series.end(), [](const Series& a, const Series& b) {
            return std::tie(a.overflow, a.route, a.method, a.status_code) <
                   std::tie(b.overflow, b.route, b.method, b.status_code);
        });
        return merged;
    }

private:
    struct Counts {
        std::uint64_t latency_sum_us;
        std::span<const std::uint64_t> buckets;
    };

    // Calls `visit(id, labels, counts)` for each published slot of a table image with
    // these bounds; false when the image is none.
    template <typename Visit>
    bool for_each_slot(std::span<const std::uint64_t> image, Visit&& visit) const {
        if (image.size() < HEADER_WORDS || image[MAGIC_WORD] != MAGIC ||
            !same_bounds(image, bounds_s_))
            return false;
        const std::size_t size = slot_words(bounds_s_.size());
        const std::uint64_t used = std::min(image[USED], image[CAPACITY]);
        const auto slots = image.subspan(HEADER_WORDS);
        for (std::size_t i = 0; i < used && (i + 1) * size <= slots.size(); ++i) {
            const auto slot = slots.subspan(i * size, size);
            const std::uint64_t key = slot[KEY];
            const std::size_t length = route_length(key);
            if (length > MAX_ROUTE_BYTES) continue;
            const std::string_view route(reinterpret_cast<const char*>(slot.data() + ROUTE),
                                         length);
            if (slot[CHECK] != check_word(key, route)) continue;  // not yet published whole
            if (!text::is_valid_utf8(route)) continue;            // not written by us: junk
            // Keyed by exactly what a document shows of the series, so that no two series
            // render alike: the overflow series shows neither status nor route, and a
            // method index out of range shows as _OTHER.
            Series labels;
            labels.method =
                static_cast<std::uint8_t>(std::min<std::uint64_t>(key & 0xFF, OTHER_METHOD));
            labels.overflow = (key & OVERFLOW_FLAG) != 0;
            if (!labels.overflow) {
                labels.status_code = static_cast<std::uint16_t>(key >> 8);
                labels.route = route;
            }
            const std::uint64_t shown =
                pack_key(labels.method, labels.status_code, labels.overflow, labels.route.size());
            std::string id(reinterpret_cast<const char*>(&shown), sizeof shown);
            id += labels.route;
            visit(std::move(id), std::move(labels),
                  Counts{slot[LATENCY_SUM_US], slot.subspan(BUCKETS, bounds_s_.size() + 1)});
        }
        return true;
    }

    std::vector<double> bounds_s_;
    std::vector<Series> series_;
    std::unordered_map<std::string, std::size_t> positions_;
};

std::span<const std::uint64_t> words_of(std::span<const std::byte> payload) {
    return {reinterpret_cast<const std::uint64_t*>(payload.data()), payload.size() / 8};
}

// The tables of one set of bounds as a kind of worker file. Tables with other bounds
// are left out of the sums, and their retained totals are a family of their own.
struct TableKind {
    using Image = std::vector<std::uint64_t>;
    using Totals = Accumulator;
    std::vector<double> bounds_s;
    // Series the retained totals of the family may hold.
    std::uint64_t retained_cap;
    std::string family = family_of(bounds_s);

    bool is_name(std::string_view name) const { return is_series_name(name); }
    std::optional<Image> read(int fd, const struct stat& info) const {
        Image words;
        if (!read_words(fd, info.st_size, words) || pid(words) <= 0) return std::nullopt;
        return words;
    }
    pid_t pid(const Image& words) const { return worker_files::pid_in_word(words[PID]); }
    std::span<const std::byte> bytes(const Image& words) const { return bytes_of(words); }
    void add_retained(Totals& totals, std::span<const std::byte> payload) const {
        totals.add_image(words_of(payload));
    }
    bool add(Totals& totals, const Image& words) const { return totals.add_image(words); }
    // A table whose new series would not fit stays where it is, still counted: moving
    // series that documents have shown into the overflow series would make their
    // counters go down.
    bool fits(const Totals& totals, const Image& words) const {
        return same_bounds(words, bounds_s) && totals.size() + totals.unseen(words) <= retained_cap;
    }
    std::vector<std::byte> encode(const Totals& totals) const {
        const std::vector<std::uint64_t> image = totals.image();
        const auto bytes = std::as_bytes(std::span(image));
        return {bytes.begin(), bytes.end()};
    }
};

}  // namespace

Notice record(std::string_view method, std::string_view route, std::uint16_t status_code,
              double duration_ms) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    Table& table = current_table(state);

    Notice reason = Notice::none;
    std::uint32_t slot = NO_SLOT;
    if (route.size() > MAX_ROUTE_BYTES) {
        reason = Notice::route_too_long;
    } else {
        slot = find_or_add(table, pack_key(method_index(method), status_code, false, route.size()),
                           route, state.max_series);
        if (slot == NO_SLOT) reason = Notice::table_full;
    }
    if (slot == NO_SLOT) slot = overflow_slot(table);

    add(table.word(slot, LATENCY_SUM_US), units::latency_us(duration_ms));
    add(table.word(slot, BUCKETS + bucket_index(state.bounds_s, duration_ms)), 1);

    if (table.file_missing && !state.missing_file_reported) {
        state.missing_file_reported = true;
        return Notice::file_missing;
    }
    if (reason == Notice::none || state.overflow_reported) return Notice::none;
    state.overflow_reported = true;
    return reason;
}

std::string file_problem() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    return state.file_problem;
}

std::optional<std::string> configure(const std::optional<std::vector<double>>& bounds_s,
                                     std::optional<std::uint64_t> max_series) {
    if (bounds_s)
        if (auto error = check_bounds(*bounds_s)) return error;
    // Contract: callers may match these messages.
    if (max_series && (*max_series < 1 || *max_series > MAX_MAX_SERIES))
        return "max_series must be between 1 and " + std::to_string(MAX_MAX_SERIES);
    State& state = STATE();
    std::lock_guard guard(state.lock);
    if (state.table && state.table->used > 0)
        return "the series can only be configured before the first request is recorded "
               "(or after clear_series())";
    if (bounds_s) state.bounds_s = *bounds_s;
    if (max_series) state.max_series = *max_series;
    state.table.reset();
    return std::nullopt;
}

std::vector<double> bounds_s() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    return state.bounds_s;
}

std::uint64_t max_series() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    return state.max_series;
}

std::size_t file_bytes() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    return table_words(state.bounds_s.size(), state.max_series + 1) * 8;
}

void attach() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    current_table(state);
}

std::optional<std::uint32_t> worker_slot() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    // A forked child holds its parent's table until its first record: not its slot.
    if (!state.table || !state.table->worker_slot ||
        state.table->fork_generation != shard_directory::forks() ||
        state.table->dir_generation != shard_directory::generation())
        return std::nullopt;
    return state.table->worker_slot->slot;
}

std::uint64_t count() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    return state.table ? state.table->used : 0;
}

void clear() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    state.overflow_reported = false;
    if (!state.table) return;
    Table& table = *state.table;
    table.word(USED).store(0, std::memory_order_release);
    std::memset(table.slot(0), 0, table.used * table.slot_size * 8);
    std::fill(table.index.begin(), table.index.end(), 0);
    table.used = table.regular = 0;
    table.overflow_slot = NO_SLOT;
}

Merged own() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    Accumulator own(state.bounds_s);
    if (state.table) own.add_image(state.table->image());
    return std::move(own).result(0);
}

Merged merge_tables(const worker_files::Directory& directory, const worker_files::Names& names,
                    const std::vector<double>& bounds_s, worker_files::Tidy tidy) {
    const TableKind kind{
        bounds_s, std::min<std::uint64_t>(RETAINED_FACTOR * max_series(),
                                          MAX_RETAINED_BYTES / 8 / slot_words(bounds_s.size()))};
    auto merge = worker_files::merge(directory, names, kind, Accumulator(bounds_s),
                                     worker_files::Keep::totals, tidy);
    return std::move(merge.totals).result(merge.left_out);
}

std::optional<std::vector<double>> bounds_in(const worker_files::Directory& directory,
                                             const worker_files::Names& names) {
    for (const std::string& name : names) {
        if (!is_series_name(name)) continue;
        struct stat info {};
        const FileDescriptor fd = worker_files::open_countable(directory, name.c_str(), info);
        std::array<std::uint64_t, HEADER_WORDS> header{};
        if (!fd || pread(fd.get(), header.data(), sizeof header, 0) != sizeof header ||
            header[MAGIC_WORD] != MAGIC || header[BOUND_COUNT] == 0 ||
            header[BOUND_COUNT] > MAX_BOUNDS)
            continue;
        std::vector<double> bounds(header[BOUND_COUNT]);
        for (std::size_t i = 0; i < bounds.size(); ++i)
            bounds[i] = std::bit_cast<double>(header[BOUNDS + i]);
        if (!check_bounds(bounds)) return bounds;
    }
    return std::nullopt;
}

}  // namespace series
