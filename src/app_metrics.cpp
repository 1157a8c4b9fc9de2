// The application's metrics: one file per worker that describes its metrics itself, so
// that any reader (another worker, a standalone exporter without the application's
// code) can render them, with values written through a shared mapping.
//
// Layout of a file ("vrk-<pid>.appmetrics", or "vrk-<pid>-<8 hex digits>.appmetrics"
// when that name is taken). Unsigned 64-bit words in native byte order.
//   Header, HEADER_WORDS words:
//     word 0        MAGIC, which also carries the format version
//     word 1        pid of the writer (32-bit id, zero-extended); 0 in retained totals
//     word 2        the writer's worker slot + 1; 0 when it holds none
//     words 3, 4    metric capacity, metrics published
//     words 5, 6    series capacity, series published
//     words 7, 8    text capacity and text used, in bytes
//     words 9, 10   value capacity and values used, in words
//   Then four sections, each of its full capacity: metrics, series, text, values.
//   A metric, DESCRIPTOR_WORDS words:
//     word 0        check: a hash of words 1-7 and the texts they name, low bit set;
//                   0 while unpublished
//     word 1        type (bits 0-7: 1 counter, 2 gauge, 3 histogram), gauge mode (8-15,
//                   MODE_NAMES), label count (16-23), bound count (24-31)
//     words 2-6     texts: name, help, unit, label names (joined by 0xFF), bounds (as
//                   IEEE-754 doubles); each the offset in the text section (bits 0-31)
//                   and the length in bytes (32-63)
//   A series, SERIES_WORDS words:
//     word 0        check, as for a metric, over words 1-3 and the label values
//     word 1        the index of its metric
//     word 2        text: its label values joined by 0xFF, no byte of UTF-8
//     word 3        offset of its values in the value section (bits 0-31); in retained
//                   totals, the worker slot + 1 of a gauge of mode `all` (32-63)
//   Values of a series: a counter 1 word, its value as a double; a gauge 2 words, its
//   value and the Unix time in nanoseconds of its last change (what `mostrecent` and
//   `all` compare); a histogram n + 2 words, the counts of its n bounds and of +Inf
//   (not cumulative), then its sum as a double.
// Texts, metrics and series are written once, the check word last with release order,
// and the published counts raised after that; values change in place with relaxed
// atomic stores of whole words by this process alone, under its lock. A reader takes
// the published part of each section with plain reads, and keeps a metric or series only
// when its check word matches what it read, and what it declares passes the rules
// declare() applies, so a record on its way is skipped, never misread.
//
// Files are made, judged gone and folded by the rules of worker_files: a merge folds
// the file of a gone writer into the retained totals of the family "appmetrics", whose
// payload is an image in the same layout with every section as long as its content
// (pid 0). Counters and histograms are summed there, so they never go back when workers
// are recycled; gauges keep what their mode keeps of a gone worker (see `combine`).
#include "app_metrics.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "series.hpp"
#include "shard_directory.hpp"
#include "text.hpp"

namespace app_metrics {

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;

// "VRKAPM" and the format version 1.
constexpr std::uint64_t MAGIC = 0x00014D50414B5256ULL;

enum HeaderWord : std::size_t {
    MAGIC_WORD = 0,
    PID = 1,
    SLOT = 2,
    METRIC_CAPACITY = 3,
    METRICS_USED = 4,
    SERIES_CAPACITY = 5,
    SERIES_USED = 6,
    TEXT_CAPACITY = 7,
    TEXT_USED = 8,
    VALUE_CAPACITY = 9,
    VALUE_USED = 10,
    HEADER_WORDS = 16,
};
enum DescriptorWord : std::size_t {
    CHECK = 0,
    SHAPE = 1,
    NAME = 2,
    HELP = 3,
    UNIT = 4,
    LABEL_NAMES = 5,
    BOUNDS = 6,
    DESCRIPTOR_WORDS = 8,
};
enum SeriesWord : std::size_t { METRIC = 1, LABELS = 2, VALUES = 3, SERIES_WORDS = 4 };
constexpr std::size_t DESCRIPTOR_TEXTS[] = {NAME, HELP, UNIT, LABEL_NAMES, BOUNDS};
constexpr std::size_t SERIES_TEXTS[] = {LABELS};

// A worker's file: about 560 KiB, what a few hundred metrics with a thousand label sets
// between them need.
constexpr std::uint64_t FILE_METRICS = 512;
constexpr std::uint64_t FILE_SERIES = 4096;
constexpr std::uint64_t FILE_TEXT_BYTES = std::uint64_t{128} << 10;
constexpr std::uint64_t FILE_VALUE_WORDS = std::uint64_t{32} << 10;
// Retained totals hold the series of every gone worker: more than one file holds.
constexpr std::size_t RETAINED_SERIES = 16 * FILE_SERIES;
// Sanity bound on the capacities an image may claim.
constexpr std::uint64_t MAX_IMAGE_WORDS = std::uint64_t{1} << 26;

constexpr std::string_view SUFFIX = ".appmetrics";
constexpr std::string_view FAMILY = "appmetrics";
constexpr std::uint32_t NO_SERIES = UINT32_MAX;

struct Sections {
    std::size_t descriptors, series, text, values, end;  // word offsets
};

Sections sections_of(std::uint64_t metrics, std::uint64_t series, std::uint64_t text_bytes,
                     std::uint64_t values) {
    Sections s{};
    s.descriptors = HEADER_WORDS;
    s.series = s.descriptors + metrics * DESCRIPTOR_WORDS;
    s.text = s.series + series * SERIES_WORDS;
    s.values = s.text + (text_bytes + 7) / 8;
    s.end = s.values + values;
    return s;
}

const Sections FILE_SECTIONS =
    sections_of(FILE_METRICS, FILE_SERIES, FILE_TEXT_BYTES, FILE_VALUE_WORDS);

std::size_t value_width(Type type, std::size_t bound_count) {
    switch (type) {
        case Type::counter:
            return 1;
        case Type::gauge:
            return 2;
        case Type::histogram:
            return bound_count + 2;
    }
    return 1;
}

std::uint64_t text_ref(std::size_t offset, std::size_t length) {
    return static_cast<std::uint64_t>(offset) | static_cast<std::uint64_t>(length) << 32;
}

std::optional<std::string_view> text_at(std::string_view text, std::uint64_t ref) {
    const std::uint64_t offset = ref & 0xFFFFFFFF, length = ref >> 32;
    if (offset > text.size() || length > text.size() - offset) return std::nullopt;
    return text.substr(offset, length);
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
    return hash ^ (hash >> 29);
}

std::uint64_t mix_bytes(std::uint64_t hash, std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        hash = mix(hash, word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
    return mix(mix(hash, tail), bytes.size());
}

// The check word of a record, over its words after the first and the texts it names;
// nothing when one of them lies outside `text`.
template <std::size_t N>
std::optional<std::uint64_t> check_of(std::span<const std::uint64_t> record,
                                      const std::size_t (&texts)[N], std::string_view text) {
    std::uint64_t hash = 0x243F6A8885A308D3ULL;
    for (std::size_t w = 1; w < record.size(); ++w) hash = mix(hash, record[w]);
    for (const std::size_t w : texts) {
        const auto named = text_at(text, record[w]);
        if (!named) return std::nullopt;
        hash = mix_bytes(hash, *named);
    }
    return hash | 1;
}

std::string joined(std::span<const std::string_view> parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += VALUE_SEPARATOR;
        out += parts[i];
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(VALUE_SEPARATOR, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool is_label_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_label_char(char c) {
    return is_label_start(c) || (c >= '0' && c <= '9');
}

bool is_live_mode(Mode mode) {
    return mode == Mode::liveall || mode == Mode::livemin || mode == Mode::livemax ||
           mode == Mode::livesum || mode == Mode::livemostrecent;
}

bool by_worker(Mode mode) {
    return mode == Mode::all || mode == Mode::liveall;
}

// What declare() refuses and what a reader skips alike: the document must stay valid
// whatever a file holds.
std::optional<std::string> check_declaration(const Declaration& d) {
    const std::string named = "metric " + d.name + ": ";
    if (!d.unit.empty()) {
        std::string_view family = d.name;
        if (d.type == Type::counter && family.ends_with("_total")) family.remove_suffix(6);
        if (!std::all_of(d.unit.begin(), d.unit.end(), is_label_char) ||
            !family.ends_with("_" + d.unit))
            return named + "the unit must be [a-zA-Z0-9_]* and end the name";
    }
    if (!valid_metric_name(d.name))
        return "invalid metric name " + d.name +
               ": names are [a-zA-Z_:][a-zA-Z0-9_:]* of at most " + std::to_string(MAX_NAME_BYTES) +
               " characters";
    if (d.name.starts_with("vrk_"))
        return named + "names starting with vrk_ are vornik's own families";
    if (d.type == Type::counter && !d.name.ends_with("_total"))
        return named + "a counter's name ends with _total";
    if ((d.type == Type::gauge) == (d.mode == Mode::none))
        return named + "a gauge has a mode, other metrics none";
    if (d.help.size() > MAX_HELP_BYTES || !text::is_valid_utf8(d.help))
        return named + "the documentation must be UTF-8 of at most " +
               std::to_string(MAX_HELP_BYTES) + " bytes";
    if (d.label_names.size() > MAX_LABELS)
        return named + "at most " + std::to_string(MAX_LABELS) + " label names";
    for (std::size_t i = 0; i < d.label_names.size(); ++i) {
        const std::string& label = d.label_names[i];
        if (!valid_label_name(label)) return named + "invalid label name " + label;
        if (std::find(d.label_names.begin(), d.label_names.begin() + i, label) !=
            d.label_names.begin() + i)
            return named + "duplicate label name " + label;
        if (d.type == Type::histogram && label == "le")
            return named + "le is the label of a histogram's buckets";
        if (by_worker(d.mode) && label == WORKER_LABEL)
            return named + "worker is the label of a gauge of mode all and liveall";
    }
    if (d.type == Type::histogram) {
        if (d.bounds.empty() || d.bounds.size() > MAX_BOUNDS)
            return named + "a histogram has 1 to " + std::to_string(MAX_BOUNDS) + " finite buckets";
        for (std::size_t i = 0; i < d.bounds.size(); ++i)
            if (!std::isfinite(d.bounds[i]) || (i > 0 && !(d.bounds[i - 1] < d.bounds[i])))
                return named + "buckets must be finite and strictly increasing";
    } else if (!d.bounds.empty()) {
        return named + "only histograms have buckets";
    }
    return std::nullopt;
}

// The names a metric's samples and family take in either format: a counter's family
// name besides its `_total` samples, a histogram's `_bucket`, `_count` and `_sum`. Two
// metrics that share one would make a document that Prometheus refuses or misreads.
std::vector<std::string> names_taken(const Declaration& d) {
    if (d.type == Type::counter) return {d.name.substr(0, d.name.size() - 6), d.name};
    if (d.type == Type::histogram)
        return {d.name, d.name + "_bucket", d.name + "_count", d.name + "_sum"};
    return {d.name};
}

// Metrics declared alike are added together; the help text is not part of it.
std::string signature_of(const Declaration& d) {
    std::string out = d.name;
    out += '\0';
    out += static_cast<char>(d.type);
    out += static_cast<char>(d.mode);
    out += d.unit;
    out += '\0';
    for (const std::string& label : d.label_names) out += label + ',';
    out += '\0';
    for (const double bound : d.bounds) {
        const auto bits = std::bit_cast<std::uint64_t>(bound);
        out.append(reinterpret_cast<const char*>(&bits), sizeof bits);
    }
    return out;
}

std::uint64_t now_ns() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    return ns > 0 ? static_cast<std::uint64_t>(ns) : 0;
}

// ---- This process's file ----------------------------------------------------------------

// What this process has declared, kept apart from the file so that a fresh file (after a
// fork, a wiped directory, another directory) gets the same metrics and series at the
// same places, where the Python objects that hold a series id find them.
struct Structure {
    std::vector<std::uint64_t> descriptors;
    std::vector<std::uint64_t> series;
    std::string text;
    std::uint64_t value_words = 0;
    // Room kept for the overflow series a labelled metric publishes when it first needs it.
    std::uint64_t reserved_series = 0;
    std::uint64_t reserved_values = 0;

    std::uint64_t metric_count() const { return descriptors.size() / DESCRIPTOR_WORDS; }
    std::uint64_t series_count() const { return series.size() / SERIES_WORDS; }
    bool has_room(std::size_t series_records, std::size_t text_bytes, std::size_t values) const {
        return series_count() + reserved_series + series_records <= FILE_SERIES &&
               text.size() + text_bytes <= FILE_TEXT_BYTES &&
               value_words + reserved_values + values <= FILE_VALUE_WORDS;
    }
};

struct Metric {
    Declaration declaration;
    std::string signature;
    std::size_t width = 1;  // value words of a series
    std::uint32_t label_sets = 0;
    std::uint32_t overflow = NO_SERIES;  // published when first needed
    bool overflow_reported = false;
};

struct SeriesInfo {
    Type type;
    bool by_worker;  // a gauge of mode all or liveall
    std::uint32_t metric;
    std::uint32_t values;  // word offset in the value section
};

struct File {
    std::vector<std::uint64_t> memory;  // the words of a process without a usable file
    std::optional<worker_files::OwnFile> own;
    worker_files::Mapping mapping;
    std::string path;
    std::uint64_t* words = nullptr;
    std::uint64_t dir_generation = 0;
    std::uint64_t fork_generation = 0;
    std::uint64_t checked_second = 0;
    // In memory although a directory is set: no merge sees these values until a retry,
    // once a second, makes the file and carries them into it.
    bool file_missing = false;
    // The header holds the worker slot of this process.
    bool slot_noted = false;

    std::atomic_ref<std::uint64_t> word(std::size_t w) const {
        return std::atomic_ref<std::uint64_t>(words[w]);
    }
    std::atomic_ref<std::uint64_t> value(std::size_t w) const {
        return word(FILE_SECTIONS.values + w);
    }
};

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};
using TextMap = std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>>;

struct State {
    std::mutex lock;
    Structure structure;
    std::vector<Metric> metrics;
    std::vector<SeriesInfo> series;
    TextMap by_name;  // every name a metric's samples take (names_taken)
    // The metric's id as four bytes, then its label values joined: the series' id.
    TextMap by_labels;
    std::string key;  // reused, so that finding a series allocates nothing
    std::optional<File> file;
};

State& STATE() {
    static State* state = new State();  // never destroyed: metrics may change during exit
    return *state;
}

// Writes the records of `structure` from `first_metric` and `first_series` on into the
// file, texts first and check words last, then raises the published counts.
void publish(const File& file, const Structure& structure, std::uint64_t first_metric,
             std::uint64_t first_series) {
    const std::size_t text_used = file.words[TEXT_USED];
    std::memcpy(reinterpret_cast<char*>(file.words + FILE_SECTIONS.text) + text_used,
                structure.text.data() + text_used, structure.text.size() - text_used);
    file.word(TEXT_USED).store(structure.text.size(), std::memory_order_release);
    file.word(VALUE_USED).store(structure.value_words, RELAXED);
    const auto write_records = [&](std::size_t section, const std::vector<std::uint64_t>& words,
                                   std::size_t size, std::uint64_t first) {
        for (std::size_t i = first * size; i < words.size(); i += size) {
            for (std::size_t w = 1; w < size; ++w)
                file.word(section + i + w).store(words[i + w], RELAXED);
            file.word(section + i).store(words[i], std::memory_order_release);
        }
    };
    write_records(FILE_SECTIONS.descriptors, structure.descriptors, DESCRIPTOR_WORDS, first_metric);
    write_records(FILE_SECTIONS.series, structure.series, SERIES_WORDS, first_series);
    file.word(METRICS_USED).store(structure.metric_count(), std::memory_order_release);
    file.word(SERIES_USED).store(structure.series_count(), std::memory_order_release);
}

void write_header(const File& file, std::uint64_t pid) {
    file.word(PID).store(pid, RELAXED);
    file.word(METRIC_CAPACITY).store(FILE_METRICS, RELAXED);
    file.word(SERIES_CAPACITY).store(FILE_SERIES, RELAXED);
    file.word(TEXT_CAPACITY).store(FILE_TEXT_BYTES, RELAXED);
    file.word(VALUE_CAPACITY).store(FILE_VALUE_WORDS, RELAXED);
    file.word(MAGIC_WORD).store(MAGIC, std::memory_order_release);
}

std::uint64_t own_pid() {
    return static_cast<std::uint32_t>(getpid());
}

std::string file_name(pid_t pid) {
    return "vrk-" + std::to_string(pid) + std::string(SUFFIX);
}

std::optional<File> open_own_file(const worker_files::Directory& directory, const std::string& dir,
                                  const Structure& structure) {
    const pid_t pid = getpid();
    const std::string names[] = {file_name(pid), worker_files::spare_name(pid, SUFFIX),
                                 worker_files::spare_name(pid, SUFFIX),
                                 worker_files::spare_name(pid, SUFFIX)};
    File file;
    auto own = worker_files::create_own(directory, names, [&](int fd) {
        file.mapping = worker_files::Mapping::allocate(fd, FILE_SECTIONS.end * 8);
        if (!file.mapping) return false;
        file.words = static_cast<std::uint64_t*>(file.mapping.data());
        publish(file, structure, 0, 0);
        write_header(file, own_pid());
        return true;
    });
    if (!own) return std::nullopt;
    file.path = dir;
    if (file.path.back() != '/') file.path += '/';
    file.path += own->name;
    file.own = std::move(own);
    return file;
}

File memory_file(const Structure& structure) {
    File file;
    file.memory.assign(FILE_SECTIONS.end, 0);
    file.words = file.memory.data();
    publish(file, structure, 0, 0);
    write_header(file, own_pid());
    return file;
}

// The worker slot goes into the header, for the gauges shown by worker. The series
// table holds it, and it is claimed here only for such a gauge: a master process that
// declares the metrics before it forks its workers is no worker.
void note_slot(File& file, bool claim) {
    if (!file.own) return;
    if (claim) series::attach();
    const auto slot = series::worker_slot();
    file.word(SLOT).store(slot ? *slot + 1 : 0, RELAXED);
    file.slot_noted = slot.has_value();
}

// The slow part of current_file: once a second, and whenever the file must change.
[[gnu::noinline]] File& refresh_file(State& state, std::uint64_t forks) {
    std::optional<File> carried;
    if (state.file && state.file->fork_generation == forks) {
        File& file = *state.file;
        if (!file.own) {
            // Values kept in memory, with no directory or none of its files to be had: they
            // go into the file of the directory chosen now.
            carried = std::move(state.file);
        } else if (file.dir_generation == shard_directory::generation()) {
            file.checked_second = shard_directory::checked_second();
            const auto placement =
                worker_files::placement(file.path, file.own->identity, file.mapping);
            if (placement == worker_files::Placement::in_place) {
                note_slot(file, false);
                return file;
            }
            // A file cut short lost its values already; its name goes to the fresh one.
            if (placement == worker_files::Placement::damaged)
                worker_files::remove_own(file.path, file.own->identity);
        }
    }
    state.file.reset();  // unlocks and unmaps; a forked child's copy goes unwritten
    const shard_directory::Choice choice = shard_directory::current();
    const std::optional<std::string>& dir = choice.dir;
    std::optional<File> fresh;
    if (dir)
        if (const auto directory = worker_files::open_directory(*dir, true))
            fresh = open_own_file(*directory, *dir, state.structure);
    if (fresh && carried)
        for (std::size_t w = 0; w < state.structure.value_words; ++w)
            fresh->value(w).store(carried->words[FILE_SECTIONS.values + w], RELAXED);
    if (!fresh && carried) fresh = std::move(carried);
    if (!fresh) fresh = memory_file(state.structure);
    fresh->file_missing = dir && !fresh->own;
    fresh->dir_generation = choice.generation;
    fresh->fork_generation = forks;
    fresh->checked_second = shard_directory::checked_second();
    state.file = std::move(fresh);
    note_slot(*state.file, false);
    return *state.file;
}

// The file for the current directory. A change of directory or a fork starts a fresh one
// with the same metrics and series and zero values (what the old file holds stays counted
// there), and so does a file whose name is gone (a wiped directory) or that was cut
// short, checked when the shard writer checks its own file, once a second. Values that
// were kept in memory are carried into the fresh file.
File& current_file(State& state) {
    const std::uint64_t forks = shard_directory::forks();
    if (state.file && state.file->dir_generation == shard_directory::generation() &&
        state.file->fork_generation == forks) {
        File& file = *state.file;
        if (!file.own && !file.file_missing) return file;
        if (shard_directory::checked_second() == file.checked_second) return file;
    }
    return refresh_file(state, forks);
}

// Appends a text to the structure; its reference.
std::uint64_t append_text(Structure& structure, std::string_view text) {
    const std::uint64_t ref = text_ref(structure.text.size(), text.size());
    structure.text += text;
    return ref;
}

// Appends a series of `metric` and publishes it; its id.
std::uint32_t add_series(State& state, std::uint32_t metric, std::string_view labels) {
    Structure& structure = state.structure;
    const Metric& declared = state.metrics[metric];
    const std::size_t first = structure.series.size();
    structure.series.resize(first + SERIES_WORDS);
    std::uint64_t* record = structure.series.data() + first;
    record[METRIC] = metric;
    record[LABELS] = append_text(structure, labels);
    record[VALUES] = structure.value_words;
    record[CHECK] = *check_of(std::span<const std::uint64_t>(record, SERIES_WORDS), SERIES_TEXTS,
                              structure.text);
    const auto id = static_cast<std::uint32_t>(state.series.size());
    state.series.push_back({declared.declaration.type, by_worker(declared.declaration.mode), metric,
                            static_cast<std::uint32_t>(structure.value_words)});
    structure.value_words += declared.width;
    const File& file = current_file(state);
    publish(file, structure, structure.metric_count(), id);
    return id;
}

std::string overflow_labels(std::size_t label_count) {
    std::vector<std::string_view> values(label_count, OVERFLOW_VALUE);
    return joined(values);
}

void store_double(std::atomic_ref<std::uint64_t> word, double value) {
    word.store(std::bit_cast<std::uint64_t>(value), RELAXED);
}

double load_double(std::atomic_ref<std::uint64_t> word) {
    return std::bit_cast<double>(word.load(RELAXED));
}

// A gauge's value changed: the time goes beside it, and a gauge shown by worker needs
// the worker's slot.
void changed(File& file, const SeriesInfo& gauge) {
    file.value(gauge.values + 1).store(now_ns(), RELAXED);
    if (gauge.by_worker && !file.slot_noted) [[unlikely]]
        note_slot(file, true);
}

// ---- Reading and merging -------------------------------------------------------------

// A file's content with every section cut to what is published: the layout of retained
// totals. `read(offset, words, out)` copies words of the file.
template <typename Read>
bool compact_image(Read&& read, std::uint64_t file_words, std::vector<std::uint64_t>& image) {
    std::uint64_t header[HEADER_WORDS];
    if (file_words < HEADER_WORDS || !read(0, HEADER_WORDS, header) ||
        header[MAGIC_WORD] != MAGIC || header[METRIC_CAPACITY] > FILE_METRICS ||
        header[SERIES_CAPACITY] > FILE_SERIES || header[TEXT_CAPACITY] > FILE_TEXT_BYTES ||
        header[VALUE_CAPACITY] > FILE_VALUE_WORDS)
        return false;
    const Sections in = sections_of(header[METRIC_CAPACITY], header[SERIES_CAPACITY],
                                    header[TEXT_CAPACITY], header[VALUE_CAPACITY]);
    if (file_words < in.end) return false;
    const std::uint64_t metrics = std::min(header[METRICS_USED], header[METRIC_CAPACITY]);
    const std::uint64_t series = std::min(header[SERIES_USED], header[SERIES_CAPACITY]);
    const std::uint64_t text = std::min(header[TEXT_USED], header[TEXT_CAPACITY]);
    const std::uint64_t values = std::min(header[VALUE_USED], header[VALUE_CAPACITY]);
    const Sections out = sections_of(metrics, series, text, values);
    image.assign(out.end, 0);
    std::copy(header, header + HEADER_WORDS, image.begin());
    image[METRIC_CAPACITY] = image[METRICS_USED] = metrics;
    image[SERIES_CAPACITY] = image[SERIES_USED] = series;
    image[TEXT_CAPACITY] = image[TEXT_USED] = text;
    image[VALUE_CAPACITY] = image[VALUE_USED] = values;
    return read(in.descriptors, out.series - out.descriptors, image.data() + out.descriptors) &&
           read(in.series, out.text - out.series, image.data() + out.series) &&
           read(in.text, out.values - out.text, image.data() + out.text) &&
           read(in.values, out.end - out.values, image.data() + out.values);
}

// Read, never mapped: a file cut short by another process makes a read come up short,
// where a mapping would raise SIGBUS.
bool read_image(int fd, off_t file_size, std::vector<std::uint64_t>& image) {
    const auto read = [fd](std::size_t offset, std::size_t words, std::uint64_t* out) {
        const auto bytes = static_cast<ssize_t>(words * 8);
        return words == 0 || pread(fd, out, words * 8, static_cast<off_t>(offset * 8)) == bytes;
    };
    return file_size >= 0 && compact_image(read, static_cast<std::uint64_t>(file_size) / 8, image);
}

// The sections of an image, or nothing when it is none.
struct View {
    std::span<const std::uint64_t> header, descriptors, series, values;
    std::string_view text;
};

std::optional<View> view_of(std::span<const std::uint64_t> image) {
    if (image.size() < HEADER_WORDS || image[MAGIC_WORD] != MAGIC) return std::nullopt;
    for (const std::size_t w : {METRIC_CAPACITY, SERIES_CAPACITY, TEXT_CAPACITY, VALUE_CAPACITY})
        if (image[w] > MAX_IMAGE_WORDS) return std::nullopt;
    const Sections s = sections_of(image[METRIC_CAPACITY], image[SERIES_CAPACITY],
                                   image[TEXT_CAPACITY], image[VALUE_CAPACITY]);
    if (s.end > image.size()) return std::nullopt;
    View view;
    view.header = image.first(HEADER_WORDS);
    view.descriptors = image.subspan(
        s.descriptors, std::min(image[METRICS_USED], image[METRIC_CAPACITY]) * DESCRIPTOR_WORDS);
    view.series = image.subspan(
        s.series, std::min(image[SERIES_USED], image[SERIES_CAPACITY]) * SERIES_WORDS);
    view.text = std::string_view(reinterpret_cast<const char*>(image.data() + s.text),
                                 std::min(image[TEXT_USED], image[TEXT_CAPACITY]));
    view.values = image.subspan(s.values, std::min(image[VALUE_USED], image[VALUE_CAPACITY]));
    return view;
}

// The declaration of a published descriptor that passes the rules, or nothing.
std::optional<Declaration> decode_declaration(std::span<const std::uint64_t> record,
                                              std::string_view text) {
    if (record[CHECK] == 0 || check_of(record, DESCRIPTOR_TEXTS, text) != record[CHECK])
        return std::nullopt;
    const std::uint64_t shape = record[SHAPE];
    const std::uint64_t type = shape & 0xFF, mode = (shape >> 8) & 0xFF;
    const std::size_t labels = (shape >> 16) & 0xFF, bounds = (shape >> 24) & 0xFF;
    if (type < 1 || type > 3 || mode >= MODE_NAMES.size() || (shape >> 32) != 0)
        return std::nullopt;
    Declaration d;
    d.type = static_cast<Type>(type);
    d.mode = static_cast<Mode>(mode);
    d.name = *text_at(text, record[NAME]);
    d.help = *text_at(text, record[HELP]);
    d.unit = *text_at(text, record[UNIT]);
    const std::string_view label_text = *text_at(text, record[LABEL_NAMES]);
    if (labels > 0)
        for (const std::string_view label : split(label_text)) d.label_names.emplace_back(label);
    else if (!label_text.empty())
        return std::nullopt;
    const std::string_view bound_bytes = *text_at(text, record[BOUNDS]);
    if (d.label_names.size() != labels || bound_bytes.size() != bounds * 8) return std::nullopt;
    d.bounds.resize(bounds);
    if (bounds > 0) std::memcpy(d.bounds.data(), bound_bytes.data(), bound_bytes.size());
    if (check_declaration(d)) return std::nullopt;
    return d;
}

// Appends the descriptor of `d` with its texts.
void append_descriptor(Structure& out, const Declaration& d) {
    const std::size_t first = out.descriptors.size();
    out.descriptors.resize(first + DESCRIPTOR_WORDS, 0);
    std::vector<std::string_view> labels(d.label_names.begin(), d.label_names.end());
    const std::uint64_t name = append_text(out, d.name);
    const std::uint64_t help = append_text(out, d.help);
    const std::uint64_t unit = append_text(out, d.unit);
    const std::uint64_t label_names = append_text(out, joined(labels));
    const std::uint64_t bounds = append_text(
        out, {reinterpret_cast<const char*>(d.bounds.data()), d.bounds.size() * sizeof(double)});
    std::uint64_t* record = out.descriptors.data() + first;
    record[SHAPE] = static_cast<std::uint64_t>(d.type) | static_cast<std::uint64_t>(d.mode) << 8 |
                    std::uint64_t{d.label_names.size()} << 16 |
                    std::uint64_t{d.bounds.size()} << 24;
    record[NAME] = name;
    record[HELP] = help;
    record[UNIT] = unit;
    record[LABEL_NAMES] = label_names;
    record[BOUNDS] = bounds;
    record[CHECK] = *check_of(std::span<const std::uint64_t>(record, DESCRIPTOR_WORDS),
                              DESCRIPTOR_TEXTS, out.text);
}

struct SlotValue {
    double value = 0.0;
    std::uint64_t stamp = 0;
    bool live = false;
};

struct SeriesTotals {
    std::string labels;
    bool seen = false;
    double value = 0.0;
    std::uint64_t stamp = 0;
    std::vector<std::uint64_t> buckets;
    double sum = 0.0;
    std::map<std::uint32_t, SlotValue> slots;  // gauges by worker; NO_WORKER without a slot
};

constexpr std::uint32_t NO_WORKER = UINT32_MAX;

struct FamilyTotals {
    Declaration declaration;
    std::string signature;
    std::vector<SeriesTotals> series;
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> positions;
};

// How one worker's value of a gauge joins the others. Gone workers count in the modes
// without `live` with their last values: summed (`sum`), in the minimum or maximum, as
// the most recent value by the time of its last change (`mostrecent`), and by worker
// slot (`all`), where a live holder of the slot goes first and otherwise the most
// recently changed value of its gone holders.
void combine(SeriesTotals& into, Mode mode, double value, std::uint64_t stamp, std::uint32_t worker,
             bool live) {
    const bool first = !into.seen;
    into.seen = true;
    switch (mode) {
        case Mode::sum:
        case Mode::livesum:
            into.value += value;
            break;
        case Mode::min:
        case Mode::livemin:
            into.value = first ? value : std::min(into.value, value);
            break;
        case Mode::max:
        case Mode::livemax:
            into.value = first ? value : std::max(into.value, value);
            break;
        case Mode::mostrecent:
        case Mode::livemostrecent:
            if (first || stamp >= into.stamp) into.value = value, into.stamp = stamp;
            break;
        case Mode::all:
        case Mode::liveall: {
            const auto [slot, added] =
                into.slots.try_emplace(worker, SlotValue{value, stamp, live});
            const SlotValue& held = slot->second;
            if (!added && ((live && !held.live) || (live == held.live && stamp >= held.stamp)))
                slot->second = {value, stamp, live};
            break;
        }
        case Mode::none:
            break;
    }
}

// Families by declaration, summed over images, as the merge's and the fold's totals.
class Totals {
public:
    explicit Totals(std::unordered_map<std::string, std::string> preferred = {})
        : preferred_(std::move(preferred)) {}

    // Adds what an image holds; false when it is none.
    bool add(std::span<const std::uint64_t> image, bool live) {
        const auto view = view_of(image);
        if (!view) return false;
        // Family positions by descriptor: families_ grows meanwhile.
        std::vector<std::size_t> families;
        families.reserve(view->descriptors.size() / DESCRIPTOR_WORDS);
        for (std::size_t i = 0; i < view->descriptors.size(); i += DESCRIPTOR_WORDS) {
            auto declaration =
                decode_declaration(view->descriptors.subspan(i, DESCRIPTOR_WORDS), view->text);
            families.push_back(declaration ? family(std::move(*declaration)) : NO_FAMILY);
        }
        const std::uint64_t file_slot = view->header[SLOT];
        for (std::size_t i = 0; i < view->series.size(); i += SERIES_WORDS) {
            const auto record = view->series.subspan(i, SERIES_WORDS);
            if (record[CHECK] == 0 || check_of(record, SERIES_TEXTS, view->text) != record[CHECK] ||
                record[METRIC] >= families.size() || families[record[METRIC]] == NO_FAMILY)
                continue;
            FamilyTotals& into = families_[families[record[METRIC]]];
            const Declaration& d = into.declaration;
            if (!live && is_live_mode(d.mode)) continue;
            const std::string_view labels = *text_at(view->text, record[LABELS]);
            if (!valid_labels(labels, d.label_names.size())) continue;
            const std::size_t offset = record[VALUES] & 0xFFFFFFFF;
            const std::size_t width = value_width(d.type, d.bounds.size());
            if (offset > view->values.size() || width > view->values.size() - offset) continue;
            const auto values = view->values.subspan(offset, width);
            SeriesTotals& one = series(into, labels);
            if (d.type == Type::gauge) {
                const std::uint64_t slot = record[VALUES] >> 32 ? record[VALUES] >> 32 : file_slot;
                combine(one, d.mode, std::bit_cast<double>(values[0]), values[1],
                        slot ? static_cast<std::uint32_t>(slot - 1) : NO_WORKER, live);
            } else if (d.type == Type::counter) {
                one.value += std::bit_cast<double>(values[0]);
            } else {
                for (std::size_t b = 0; b <= d.bounds.size(); ++b) one.buckets[b] += values[b];
                one.sum += std::bit_cast<double>(values[d.bounds.size() + 1]);
            }
        }
        return true;
    }

    std::size_t series_count() const { return series_count_; }

    // An image of everything here, pid 0: the payload of retained totals. Gauges of live
    // modes keep nothing of gone workers.
    std::vector<std::uint64_t> image() const {
        Structure out;
        std::vector<std::uint64_t> values;
        for (const FamilyTotals& family : families_) {
            const Declaration& d = family.declaration;
            if (is_live_mode(d.mode)) continue;
            const auto metric = out.metric_count();
            append_descriptor(out, d);
            const auto add_record = [&](const SeriesTotals& one, std::uint64_t slot,
                                        std::initializer_list<std::uint64_t> words) {
                const std::size_t first = out.series.size();
                out.series.resize(first + SERIES_WORDS);
                std::uint64_t* record = out.series.data() + first;
                record[METRIC] = metric;
                record[LABELS] = append_text(out, one.labels);
                record[VALUES] = values.size() | slot << 32;
                record[CHECK] = *check_of(std::span<const std::uint64_t>(record, SERIES_WORDS),
                                          SERIES_TEXTS, out.text);
                values.insert(values.end(), words);
            };
            for (const SeriesTotals& one : family.series) {
                if (d.type == Type::counter) {
                    add_record(one, 0, {std::bit_cast<std::uint64_t>(one.value)});
                } else if (d.type == Type::histogram) {
                    add_record(one, 0, {});
                    values.insert(values.end(), one.buckets.begin(), one.buckets.end());
                    values.push_back(std::bit_cast<std::uint64_t>(one.sum));
                } else if (by_worker(d.mode)) {
                    for (const auto& [worker, held] : one.slots)
                        add_record(one, worker == NO_WORKER ? 0 : std::uint64_t{worker} + 1,
                                   {std::bit_cast<std::uint64_t>(held.value), held.stamp});
                } else if (one.seen) {
                    add_record(one, 0, {std::bit_cast<std::uint64_t>(one.value), one.stamp});
                }
            }
        }
        const Sections s =
            sections_of(out.metric_count(), out.series_count(), out.text.size(), values.size());
        std::vector<std::uint64_t> image(s.end, 0);
        image[MAGIC_WORD] = MAGIC;
        image[METRIC_CAPACITY] = image[METRICS_USED] = out.metric_count();
        image[SERIES_CAPACITY] = image[SERIES_USED] = out.series_count();
        image[TEXT_CAPACITY] = image[TEXT_USED] = out.text.size();
        image[VALUE_CAPACITY] = image[VALUE_USED] = values.size();
        std::copy(out.descriptors.begin(), out.descriptors.end(), image.begin() + s.descriptors);
        std::copy(out.series.begin(), out.series.end(), image.begin() + s.series);
        std::memcpy(image.data() + s.text, out.text.data(), out.text.size());
        std::copy(values.begin(), values.end(), image.begin() + s.values);
        return image;
    }

    Merged result() && {
        Merged merged;
        const auto mismatch = [&](const std::string& name) {
            if (std::find(merged.mismatched.begin(), merged.mismatched.end(), name) ==
                merged.mismatched.end())
                merged.mismatched.push_back(name);
        };
        std::unordered_map<std::string_view, std::size_t> shown;  // name → family
        for (std::size_t i = 0; i < families_.size(); ++i) {
            const std::string& name = families_[i].declaration.name;
            const auto [entry, added] = shown.try_emplace(name, i);
            if (added) continue;
            mismatch(name);
            if (is_preferred(i)) entry->second = i;
        }
        // Families whose sample names clash (a worker's counter `a` and another's gauge
        // `a`): this process's go first, then by name; a family clashing with one taken
        // before is left out.
        std::vector<std::size_t> order;
        for (const auto& [name, index] : shown) order.push_back(index);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return std::pair(!is_preferred(a), families_[a].declaration.name) <
                   std::pair(!is_preferred(b), families_[b].declaration.name);
        });
        std::unordered_set<std::string> taken;
        for (const std::size_t index : order) {
            FamilyTotals& totals = families_[index];
            const std::vector<std::string> names = names_taken(totals.declaration);
            if (std::any_of(names.begin(), names.end(),
                            [&](const std::string& name) { return taken.contains(name); })) {
                mismatch(totals.declaration.name);
                continue;
            }
            taken.insert(names.begin(), names.end());
            Family& family = merged.families.emplace_back();
            family.declaration = std::move(totals.declaration);
            std::sort(
                totals.series.begin(), totals.series.end(),
                [](const SeriesTotals& a, const SeriesTotals& b) { return a.labels < b.labels; });
            for (SeriesTotals& one : totals.series) {
                if (!by_worker(family.declaration.mode)) {
                    if (family.declaration.type == Type::gauge && !one.seen) continue;
                    family.series.push_back({std::move(one.labels), std::nullopt, one.value,
                                             std::move(one.buckets), one.sum});
                    continue;
                }
                for (const auto& [worker, held] : one.slots)
                    family.series.push_back(
                        {one.labels,
                         worker == NO_WORKER ? std::nullopt : std::optional<std::uint32_t>(worker),
                         held.value,
                         {},
                         0.0});
            }
        }
        std::sort(merged.families.begin(), merged.families.end(),
                  [](const Family& a, const Family& b) {
                      return a.declaration.name < b.declaration.name;
                  });
        std::sort(merged.mismatched.begin(), merged.mismatched.end());
        return merged;
    }

private:
    // Whether the family is declared as this process declares its name.
    bool is_preferred(std::size_t index) const {
        const auto preferred = preferred_.find(families_[index].declaration.name);
        return preferred != preferred_.end() && preferred->second == families_[index].signature;
    }

    static bool valid_labels(std::string_view labels, std::size_t count) {
        if (count == 0) return labels.empty();
        std::size_t pieces = 0;
        for (const std::string_view value : split(labels)) {
            if (++pieces > count || value.size() > MAX_LABEL_VALUE_BYTES ||
                !text::is_valid_utf8(value))
                return false;
        }
        return pieces == count;
    }

    static constexpr std::size_t NO_FAMILY = SIZE_MAX;

    std::size_t family(Declaration declaration) {
        std::string signature = signature_of(declaration);
        if (const auto found = by_signature_.find(signature); found != by_signature_.end())
            return found->second;
        by_signature_.emplace(signature, families_.size());
        FamilyTotals& fresh = families_.emplace_back();
        fresh.declaration = std::move(declaration);
        fresh.signature = std::move(signature);
        return families_.size() - 1;
    }

    SeriesTotals& series(FamilyTotals& family, std::string_view labels) {
        if (const auto found = family.positions.find(labels); found != family.positions.end())
            return family.series[found->second];
        family.positions.emplace(std::string(labels), family.series.size());
        ++series_count_;
        SeriesTotals& fresh = family.series.emplace_back();
        fresh.labels = labels;
        if (family.declaration.type == Type::histogram)
            fresh.buckets.assign(family.declaration.bounds.size() + 1, 0);
        return fresh;
    }

    std::unordered_map<std::string, std::string> preferred_;  // name → signature
    std::vector<FamilyTotals> families_;
    std::unordered_map<std::string, std::size_t> by_signature_;
    std::size_t series_count_ = 0;
};

std::span<const std::uint64_t> words_of(std::span<const std::byte> payload) {
    return {reinterpret_cast<const std::uint64_t*>(payload.data()), payload.size() / 8};
}

struct Image {
    std::vector<std::uint64_t> words;
    bool live = false;
};

// The files of application metrics as a kind of worker file.
struct FileKind {
    using Image = app_metrics::Image;
    using Totals = app_metrics::Totals;
    std::string family{FAMILY};

    bool is_name(std::string_view name) const { return worker_files::is_worker_name(name, SUFFIX); }
    std::optional<Image> read(int fd, const struct stat& info) const {
        Image image;
        if (!read_image(fd, info.st_size, image.words) || pid(image) <= 0) return std::nullopt;
        // Gauges of live modes leave gone writers out; taking a gone writer's lock for a
        // moment keeps nobody out.
        image.live = !worker_files::writer_gone(fd, pid(image));
        return image;
    }
    pid_t pid(const Image& image) const { return worker_files::pid_in_word(image.words[PID]); }
    std::span<const std::byte> bytes(const Image& image) const {
        return std::as_bytes(std::span(image.words));
    }
    void add_retained(Totals& totals, std::span<const std::byte> payload) const {
        totals.add(words_of(payload), false);
    }
    bool add(Totals& totals, const Image& image) const {
        return totals.add(image.words, image.live);
    }
    bool fits(const Totals& totals, const Image& image) const {
        return totals.series_count() + image.words[SERIES_USED] <= RETAINED_SERIES;
    }
    std::vector<std::byte> encode(const Totals& totals) const {
        const std::vector<std::uint64_t> image = totals.image();
        const auto bytes = std::as_bytes(std::span(image));
        return {bytes.begin(), bytes.end()};
    }
};

// The name and signature of every metric this process declares.
std::unordered_map<std::string, std::string> own_signatures() {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    std::unordered_map<std::string, std::string> signatures;
    for (const Metric& metric : state.metrics)
        signatures.emplace(metric.declaration.name, metric.signature);
    return signatures;
}

}  // namespace

bool valid_metric_name(std::string_view name) {
    if (name.empty() || name.size() > MAX_NAME_BYTES) return false;
    if (!(is_label_start(name[0]) || name[0] == ':')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return is_label_char(c) || c == ':'; });
}

bool valid_label_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_NAME_BYTES && is_label_start(name[0]) &&
           !name.starts_with("__") && std::all_of(name.begin(), name.end(), is_label_char);
}

std::vector<std::string_view> label_values(std::string_view labels) {
    return split(labels);
}

std::variant<std::uint32_t, std::string> declare(const Declaration& declaration) {
    if (auto error = check_declaration(declaration)) return std::move(*error);
    State& state = STATE();
    std::lock_guard guard(state.lock);
    const std::vector<std::string> taken = names_taken(declaration);
    for (const std::string& name : taken) {
        const auto found = state.by_name.find(name);
        if (found == state.by_name.end()) continue;
        const std::string& other = state.metrics[found->second].declaration.name;
        if (other == declaration.name)
            return "a metric named " + declaration.name + " is registered already";
        return "metric " + declaration.name + ": the name " + name +
               " is taken by the samples of metric " + other;
    }
    Structure& structure = state.structure;
    const std::size_t width = value_width(declaration.type, declaration.bounds.size());
    std::size_t text_bytes = declaration.name.size() + declaration.help.size() +
                             declaration.unit.size() + declaration.label_names.size() +
                             declaration.bounds.size() * 8;
    for (const std::string& label : declaration.label_names) text_bytes += label.size();
    if (structure.metric_count() >= FILE_METRICS || !structure.has_room(1, text_bytes, width))
        return "no room for the metric " + declaration.name + ": a process keeps at most " +
               std::to_string(FILE_METRICS) + " metrics, " + std::to_string(FILE_SERIES) +
               " series and " + std::to_string(FILE_TEXT_BYTES / 1024) + " KiB of names";

    const auto id = static_cast<std::uint32_t>(state.metrics.size());
    Metric& metric = state.metrics.emplace_back();
    metric.declaration = declaration;
    metric.signature = signature_of(declaration);
    metric.width = width;
    for (const std::string& name : taken) state.by_name.emplace(name, id);
    append_descriptor(structure, declaration);
    publish(current_file(state), structure, id, structure.series_count());
    if (declaration.label_names.empty()) {
        const std::uint32_t only = add_series(state, id, {});
        state.key.assign(reinterpret_cast<const char*>(&id), sizeof id);
        state.by_labels.emplace(state.key, only);
    } else {
        structure.reserved_series += 1;
        structure.reserved_values += width;
    }
    return id;
}

std::variant<Found, std::string> series_of(std::uint32_t metric,
                                           std::span<const std::string_view> values) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    std::string& key = state.key;
    key.assign(reinterpret_cast<const char*>(&metric), sizeof metric);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) key += VALUE_SEPARATOR;
        key += values[i];
    }
    if (const auto found = state.by_labels.find(key); found != state.by_labels.end())
        return Found{found->second, false};
    Metric& declared = state.metrics[metric];
    for (const std::string_view value : values)
        if (value.size() > MAX_LABEL_VALUE_BYTES)
            return "metric " + declared.declaration.name + ": label values are at most " +
                   std::to_string(MAX_LABEL_VALUE_BYTES) + " bytes";
    const std::string_view labels = std::string_view(key).substr(sizeof metric);
    Structure& structure = state.structure;
    if (declared.label_sets < MAX_LABEL_SETS &&
        structure.has_room(1, labels.size(), declared.width)) {
        ++declared.label_sets;
        const std::uint32_t id = add_series(state, metric, labels);
        state.by_labels.emplace(key, id);
        return Found{id, false};
    }
    if (declared.overflow == NO_SERIES) {
        // The room kept for it at declaration.
        structure.reserved_series -= 1;
        structure.reserved_values -= declared.width;
        declared.overflow =
            add_series(state, metric, overflow_labels(declared.declaration.label_names.size()));
    }
    const bool first = !declared.overflow_reported;
    declared.overflow_reported = true;
    return Found{declared.overflow, first};
}

double value_of(std::uint32_t series) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    const File& file = current_file(state);
    const SeriesInfo& one = state.series[series];
    if (one.type != Type::histogram) return load_double(file.value(one.values));
    const std::size_t bounds = state.metrics[one.metric].declaration.bounds.size();
    std::uint64_t count = 0;
    for (std::size_t b = 0; b <= bounds; ++b) count += file.value(one.values + b).load(RELAXED);
    return static_cast<double>(count);
}

// Only this process writes its file, under the state's lock (a forked child moves to a
// file of its own), so a change needs no read-modify-write instruction: a load and a
// store of whole words, which readers in other processes see whole.
void add(std::uint32_t series, double amount) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    File& file = current_file(state);
    const SeriesInfo& one = state.series[series];
    const auto word = file.value(one.values);
    store_double(word, load_double(word) + amount);
    if (one.type == Type::gauge) changed(file, one);
}

void set(std::uint32_t series, double value) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    File& file = current_file(state);
    const SeriesInfo& one = state.series[series];
    store_double(file.value(one.values), value);
    changed(file, one);
}

void observe(std::uint32_t series, double value) {
    State& state = STATE();
    std::lock_guard guard(state.lock);
    const File& file = current_file(state);
    const SeriesInfo& one = state.series[series];
    const std::vector<double>& bounds = state.metrics[one.metric].declaration.bounds;
    std::size_t bucket = 0;
    while (bucket < bounds.size() && !(value <= bounds[bucket])) ++bucket;  // NaN: +Inf
    const auto count = file.value(one.values + bucket);
    count.store(count.load(RELAXED) + 1, RELAXED);
    const auto sum = file.value(one.values + bounds.size() + 1);
    store_double(sum, load_double(sum) + value);
}

Merged own() {
    Totals own(own_signatures());
    State& state = STATE();
    std::lock_guard guard(state.lock);
    if (state.file) {
        const std::uint64_t* words = state.file->words;
        std::vector<std::uint64_t> image;
        const auto read = [words](std::size_t offset, std::size_t count, std::uint64_t* out) {
            std::memcpy(out, words + offset, count * 8);
            return true;
        };
        if (compact_image(read, FILE_SECTIONS.end, image)) own.add(image, true);
    }
    return std::move(own).result();
}

Merged merge_files(const worker_files::Directory& directory, const worker_files::Names& names,
                   worker_files::Tidy tidy, bool own_declarations) {
    const Totals empty(own_declarations ? own_signatures()
                                        : std::unordered_map<std::string, std::string>{});
    return worker_files::merge(directory, names, FileKind{}, empty, worker_files::Keep::totals,
                               tidy)
        .totals.result();
}

}  // namespace app_metrics
