// The series table: one slot per (method, route, status) with a latency sum and a
// histogram, in fixed memory, so that recording into an existing series allocates
// nothing. With a shard directory the table is a file of its own there, which every
// worker reads when it merges; without one it lives in anonymous memory.
//
// Layout of a table ("vrk-<pid>.series"; the shard filter `vrk-*.shard` does not match
// it). Unsigned 64-bit words in native byte order.
//   Header, HEADER_WORDS words:
//     word 0        MAGIC, written last when the table is initialised
//     word 1        pid of the writer (32-bit id, zero-extended)
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
#include "series.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <span>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "multiproc.hpp"
#include "text.hpp"

namespace series {

namespace {

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

std::uint64_t pack_key(std::uint8_t method, std::uint16_t status_code, bool overflow,
                       std::size_t route_bytes) {
    return method | std::uint64_t{status_code} << 8 | (overflow ? OVERFLOW_FLAG : 0) |
           static_cast<std::uint64_t>(route_bytes) << 32;
}

std::size_t route_length(std::uint64_t key) {
    return (key >> 32) & 0xFFFF;
}

// FNV-1a over the key word and the route; the low bit marks a published slot.
std::uint64_t check_word(std::uint64_t key, std::string_view route) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (int shift = 0; shift < 64; shift += 8)
        hash = (hash ^ ((key >> shift) & 0xFF)) * 0x100000001B3ULL;
    for (const char c : route) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
    return hash | 1;
}

std::uint8_t method_index(std::string_view method) {
    for (std::size_t i = 0; i < OTHER_METHOD; ++i)
        if (METHODS[i] == method) return static_cast<std::uint8_t>(i);
    return OTHER_METHOD;
}

// A fixed-size mapping: anonymous memory, or a shared mapping of a table file.
class Region {
public:
    Region() = default;
    static Region anonymous(std::size_t bytes) {
        return Region(
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
            bytes);
    }
    static Region file(int fd, std::size_t bytes) {
        return Region(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), bytes);
    }
    Region(Region&& other) noexcept
        : words_(std::exchange(other.words_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Region& operator=(Region&& other) noexcept {
        Region old(std::move(*this));
        words_ = std::exchange(other.words_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        return *this;
    }
    ~Region() {
        if (words_) munmap(words_, bytes_);
    }
    explicit operator bool() const { return words_ != nullptr; }
    std::uint64_t* words() const { return words_; }
    std::size_t bytes() const { return bytes_; }

    // Other processes read these words while this one writes them.
    std::atomic_ref<std::uint64_t> operator[](std::size_t word) const {
        return std::atomic_ref<std::uint64_t>(words_[word]);
    }

private:
    Region(void* address, std::size_t bytes)
        : words_(address == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(address)),
          bytes_(address == MAP_FAILED ? 0 : bytes) {}
    std::uint64_t* words_ = nullptr;
    std::size_t bytes_ = 0;
};

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

constexpr std::uint32_t NO_SLOT = UINT32_MAX;

// This process's table and the index that finds a key's slot without a search.
struct Table {
    Region region;
    std::size_t bound_count = 0;
    std::size_t slot_size = 0;  // words
    std::uint64_t capacity = 0;
    std::uint64_t used = 0;
    std::uint64_t regular = 0;  // slots other than the overflow slot
    std::uint32_t overflow_slot = NO_SLOT;
    std::vector<std::uint32_t> index;  // open addressing: slot + 1, 0 when free
    std::uint64_t dir_generation = 0;
    std::uint64_t fork_generation = 0;

    std::uint64_t* slot(std::size_t i) const {
        return region.words() + HEADER_WORDS + i * slot_size;
    }
    std::atomic_ref<std::uint64_t> word(std::size_t i, std::size_t w) const {
        return std::atomic_ref<std::uint64_t>(slot(i)[w]);
    }
};

struct State {
    std::mutex lock;
    std::vector<double> bounds_s{DEFAULT_BOUNDS_S.begin(), DEFAULT_BOUNDS_S.end()};
    std::uint64_t max_series = DEFAULT_MAX_SERIES;
    std::optional<Table> table;
    bool overflow_reported = false;
};

// A forked child must not count into its parent's table file.
std::atomic<std::uint64_t> FORKS{0};

State& STATE() {
    static State* state = [] {
        pthread_atfork(nullptr, nullptr, [] { FORKS.fetch_add(1, RELAXED); });
        return new State();  // never destroyed: requests may be recorded during exit
    }();
    return *state;
}

std::size_t table_bytes(std::size_t bound_count, std::uint64_t capacity) {
    return (HEADER_WORDS + capacity * slot_words(bound_count)) * 8;
}

bool same_bounds(const std::uint64_t* header, const std::vector<double>& bounds_s) {
    if (header[BOUND_COUNT] != bounds_s.size()) return false;
    for (std::size_t i = 0; i < bounds_s.size(); ++i)
        if (header[BOUNDS + i] != std::bit_cast<std::uint64_t>(bounds_s[i])) return false;
    return true;
}

void write_header(const Region& region, std::uint64_t pid, std::uint64_t capacity,
                  const std::vector<double>& bounds_s) {
    region[PID].store(pid, RELAXED);
    region[CAPACITY].store(capacity, RELAXED);
    region[USED].store(0, RELAXED);
    region[BOUND_COUNT].store(bounds_s.size(), RELAXED);
    for (std::size_t i = 0; i < MAX_BOUNDS; ++i)
        region[BOUNDS + i].store(
            i < bounds_s.size() ? std::bit_cast<std::uint64_t>(bounds_s[i]) : 0, RELAXED);
    region[MAGIC_WORD].store(MAGIC, std::memory_order_release);
}

std::size_t index_position(const Table& table, std::uint64_t check) {
    return static_cast<std::size_t>(check >> 1) & (table.index.size() - 1);
}

void index_slot(Table& table, std::uint32_t i) {
    const std::uint64_t key = table.slot(i)[KEY];
    if (key & OVERFLOW_FLAG) {
        table.overflow_slot = i;
        return;
    }
    ++table.regular;
    std::size_t position = index_position(table, table.slot(i)[CHECK]);
    while (table.index[position] != 0) position = (position + 1) & (table.index.size() - 1);
    table.index[position] = i + 1;
}

Table make_table(Region region, std::size_t bound_count, std::uint64_t capacity) {
    Table table;
    table.region = std::move(region);
    table.bound_count = bound_count;
    table.slot_size = slot_words(bound_count);
    table.capacity = capacity;
    table.index.assign(std::bit_ceil(capacity * 2), 0);
    return table;
}

// Picks up the slots of a table this process wrote before (the same directory chosen
// again, or a leftover file of an earlier process with the same pid).
void adopt(Table& table) {
    const auto used = std::min(table.region[USED].load(std::memory_order_acquire), table.capacity);
    for (std::uint64_t i = 0; i < used; ++i) {
        const std::uint64_t* slot = table.slot(i);
        const std::uint64_t key = slot[KEY];
        const std::string_view route(reinterpret_cast<const char*>(slot + ROUTE),
                                     std::min(route_length(key), MAX_ROUTE_BYTES));
        if (slot[CHECK] != check_word(key, route)) break;  // never published whole
        index_slot(table, static_cast<std::uint32_t>(i));
        table.used = i + 1;
    }
    table.region[USED].store(table.used, std::memory_order_release);
}

std::uint64_t own_pid() {
    return static_cast<std::uint32_t>(getpid());
}

// This process's table file in `dir`, created or adopted. Same rules as the shard: the
// directory is shared, so no link is followed, only a regular file of ours with one
// link is used, and the blocks are allocated before the mapping is written.
std::optional<Table> open_file_table(const std::string& dir, const std::vector<double>& bounds_s,
                                     std::uint64_t capacity) {
    if (dir.find('\0') != std::string::npos) return std::nullopt;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return std::nullopt;
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += std::string(SERIES_PREFIX) + std::to_string(getpid()) + std::string(SERIES_SUFFIX);

    const FileDescriptor file(
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (file.get() < 0) return std::nullopt;
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_nlink != 1)
        return std::nullopt;
    const std::size_t bytes = table_bytes(bounds_s.size(), capacity);
    if (ftruncate(file.get(), static_cast<off_t>(bytes)) != 0) return std::nullopt;
    if (posix_fallocate(file.get(), 0, static_cast<off_t>(bytes)) != 0) return std::nullopt;
    Region region = Region::file(file.get(), bytes);
    if (!region) return std::nullopt;

    const std::uint64_t* header = region.words();
    const bool adoptable = region[MAGIC_WORD].load(std::memory_order_acquire) == MAGIC &&
                           header[PID] == own_pid() && header[CAPACITY] == capacity &&
                           same_bounds(header, bounds_s);
    Table table = make_table(std::move(region), bounds_s.size(), capacity);
    if (adoptable) {
        adopt(table);
    } else {
        table.region[MAGIC_WORD].store(0, RELAXED);
        std::memset(table.region.words() + 1, 0, bytes - 8);
        write_header(table.region, own_pid(), capacity, bounds_s);
    }
    return table;
}

Table memory_table(const std::vector<double>& bounds_s, std::uint64_t capacity) {
    Region region = Region::anonymous(table_bytes(bounds_s.size(), capacity));
    if (!region) throw std::bad_alloc();
    Table table = make_table(std::move(region), bounds_s.size(), capacity);
    write_header(table.region, own_pid(), capacity, bounds_s);
    return table;
}

// The table for the current directory; a change of directory or a fork opens another.
// Without a usable directory file the table lives in memory, so requests still count.
Table& current_table(State& state) {
    const std::uint64_t forks = FORKS.load(RELAXED);
    if (state.table && state.table->dir_generation == multiproc::generation() &&
        state.table->fork_generation == forks)
        return *state.table;
    state.table.reset();  // unmaps before a file of the same name may be opened again
    const std::optional<std::string> dir = multiproc::dir();
    const std::uint64_t capacity = state.max_series + 1;
    std::optional<Table> table;
    if (dir) table = open_file_table(*dir, state.bounds_s, capacity);
    if (!table) table = memory_table(state.bounds_s, capacity);
    table->dir_generation = multiproc::generation();
    table->fork_generation = forks;
    state.table = std::move(table);
    return *state.table;
}

// Writes the key into the next free slot and publishes it.
std::uint32_t add_slot(Table& table, std::uint64_t key, std::string_view route,
                       std::uint64_t check) {
    const auto i = static_cast<std::uint32_t>(table.used);
    std::uint64_t* slot = table.slot(i);
    slot[KEY] = key;
    std::memset(slot + ROUTE, 0, MAX_ROUTE_BYTES);
    std::memcpy(slot + ROUTE, route.data(), route.size());
    table.word(i, CHECK).store(check, std::memory_order_release);
    table.used = i + 1;
    table.region[USED].store(table.used, std::memory_order_release);
    index_slot(table, i);
    return i;
}

std::uint32_t overflow_slot(Table& table) {
    if (table.overflow_slot == NO_SLOT) {
        const std::uint64_t key = pack_key(OTHER_METHOD, 0, true, 0);
        add_slot(table, key, {}, check_word(key, {}));
    }
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
            std::memcmp(slot + ROUTE, route.data(), route.size()) == 0)
            return entry - 1;
    }
    if (table.regular >= max_series) return NO_SLOT;
    return add_slot(table, key, route, check);
}

std::size_t bucket_index(const std::vector<double>& bounds_s, double duration_ms) {
    const double seconds = duration_ms / 1000.0;
    for (std::size_t i = 0; i < bounds_s.size(); ++i)
        if (seconds <= bounds_s[i]) return i;
    return bounds_s.size();  // above the last bound, or NaN
}

std::optional<std::string> check_bounds(const std::vector<double>& bounds_s) {
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

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? UINT64_MAX : sum;
}

// Series by key word and route, summed over tables.
class Accumulator {
public:
    explicit Accumulator(std::vector<double> bounds_s) : bounds_s_(std::move(bounds_s)) {}

    const std::vector<double>& bounds_s() const { return bounds_s_; }

    // Adds the published slots of one table image (its header, then `used` slots).
    void add_slots(std::span<const std::uint64_t> slots, std::size_t used) {
        const std::size_t size = slot_words(bounds_s_.size());
        for (std::size_t i = 0; i < used && (i + 1) * size <= slots.size(); ++i) {
            const std::uint64_t* slot = slots.data() + i * size;
            const std::uint64_t key = slot[KEY];
            const std::size_t length = route_length(key);
            if (length > MAX_ROUTE_BYTES) continue;
            const std::string_view route(reinterpret_cast<const char*>(slot + ROUTE), length);
            if (slot[CHECK] != check_word(key, route)) continue;  // not yet published whole
            if (!text::is_valid_utf8(route)) continue;            // not written by us: junk
            std::string id(reinterpret_cast<const char*>(&key), sizeof key);
            id += route;
            auto [entry, added] = series_.try_emplace(std::move(id));
            Series& into = entry->second;
            if (added) {
                into.method =
                    static_cast<std::uint8_t>(std::min<std::uint64_t>(key & 0xFF, OTHER_METHOD));
                into.status_code = static_cast<std::uint16_t>(key >> 8);
                into.overflow = (key & OVERFLOW_FLAG) != 0;
                into.route = route;
                into.buckets.assign(bounds_s_.size() + 1, 0);
            }
            into.latency_sum_us = saturating_add(into.latency_sum_us, slot[LATENCY_SUM_US]);
            for (std::size_t b = 0; b <= bounds_s_.size(); ++b)
                into.buckets[b] += slot[BUCKETS + b];
        }
    }

    Merged result(std::uint64_t mismatched) && {
        Merged merged{std::move(bounds_s_), {}, mismatched};
        merged.series.reserve(series_.size());
        for (auto& entry : series_) merged.series.push_back(std::move(entry.second));
        std::sort(merged.series.begin(), merged.series.end(), [](const Series& a, const Series& b) {
            return std::tie(a.overflow, a.route, a.method, a.status_code) <
                   std::tie(b.overflow, b.route, b.method, b.status_code);
        });
        return merged;
    }

private:
    std::vector<double> bounds_s_;
    std::unordered_map<std::string, Series> series_;
};

bool is_series_name(std::string_view name) {
    return name.size() > SERIES_PREFIX.size() + SERIES_SUFFIX.size() &&
           name.starts_with(SERIES_PREFIX) && name.ends_with(SERIES_SUFFIX);
}

enum class FileOutcome { added, skipped, mismatched };

// Adds one table file of the directory. Read, never mapped: a file cut short by
// another process makes a read come up short, where a mapping would raise SIGBUS.
FileOutcome merge_file(Accumulator& into, int dir_fd, const char* name) {
    if (!is_series_name(name)) return FileOutcome::skipped;
    const FileDescriptor file(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return FileOutcome::skipped;
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)
        return FileOutcome::skipped;
    std::array<std::uint64_t, HEADER_WORDS> header{};
    if (pread(file.get(), header.data(), sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return FileOutcome::skipped;
    if (header[MAGIC_WORD] != MAGIC || header[BOUND_COUNT] == 0 ||
        header[BOUND_COUNT] > MAX_BOUNDS || header[CAPACITY] > MAX_MAX_SERIES + 1)
        return FileOutcome::skipped;
    if (!same_bounds(header.data(), into.bounds_s())) return FileOutcome::mismatched;
    const std::uint64_t used = std::min(header[USED], header[CAPACITY]);
    std::vector<std::uint64_t> slots(used * slot_words(into.bounds_s().size()));
    const auto bytes = static_cast<ssize_t>(slots.size() * 8);
    const ssize_t got =
        pread(file.get(), slots.data(), static_cast<std::size_t>(bytes), HEADER_WORDS * 8);
    if (got < 0) return FileOutcome::skipped;
    slots.resize(static_cast<std::size_t>(got) / 8);
    into.add_slots(slots, used);
    return FileOutcome::added;
}

}  // namespace

Overflow record(std::string_view method, std::string_view route, std::uint16_t status_code,
                double duration_ms) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    Table& table = current_table(state);

    Overflow reason = Overflow::none;
    std::uint32_t slot = NO_SLOT;
    if (route.size() > MAX_ROUTE_BYTES) {
        reason = Overflow::route_too_long;
    } else {
        slot = find_or_add(table, pack_key(method_index(method), status_code, false, route.size()),
                           route, state.max_series);
        if (slot == NO_SLOT) reason = Overflow::table_full;
    }
    if (slot == NO_SLOT) slot = overflow_slot(table);

    table.word(slot, LATENCY_SUM_US).fetch_add(multiproc::latency_us(duration_ms), RELAXED);
    table.word(slot, BUCKETS + bucket_index(state.bounds_s, duration_ms)).fetch_add(1, RELAXED);

    if (reason == Overflow::none || state.overflow_reported) return Overflow::none;
    state.overflow_reported = true;
    return reason;
}

std::optional<std::string> configure(const std::optional<std::vector<double>>& bounds_s,
                                     std::optional<std::uint64_t> max_series) {
    if (bounds_s)
        if (auto error = check_bounds(*bounds_s)) return error;
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
    table.region[USED].store(0, std::memory_order_release);
    std::memset(table.slot(0), 0, table.used * table.slot_size * 8);
    std::fill(table.index.begin(), table.index.end(), 0);
    table.used = table.regular = 0;
    table.overflow_slot = NO_SLOT;
}

Merged merged() {
    State& state = STATE();
    std::vector<double> bounds;
    {
        std::lock_guard guard(state.lock);
        bounds = state.bounds_s;
    }
    Accumulator into(std::move(bounds));
    const std::optional<std::string> directory = multiproc::dir();
    if (!directory) {
        std::lock_guard guard(state.lock);
        if (state.table) {
            const Table& table = *state.table;
            into.add_slots({table.slot(0), table.used * table.slot_size}, table.used);
        }
        return std::move(into).result(0);
    }
    std::uint64_t mismatched = 0;
    if (directory->find('\0') != std::string::npos) return std::move(into).result(0);
    DIR* listing = opendir(directory->c_str());
    if (listing == nullptr) return std::move(into).result(0);
    const int dir_fd = dirfd(listing);
    while (const dirent* entry = readdir(listing))
        if (merge_file(into, dir_fd, entry->d_name) == FileOutcome::mismatched) ++mismatched;
    closedir(listing);
    return std::move(into).result(mismatched);
}

}  // namespace series
