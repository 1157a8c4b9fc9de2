// Process sampling from /proc: /proc/self/stat carries the CPU times, the thread
// count, the start and the virtual size; /proc/self/statm the resident pages; the
// entries of /proc/<pid>/fd are the open descriptors. The resident
// figure in stat is a separately kept counter that can lag by dozens of pages, while
// statm is what `ps`, `top` and psutil report.
// The files are reached through /proc/self, never /proc/<getpid()>: inside a PID
// namespace that sees another namespace's /proc (a container sharing the host's
// /proc, `unshare --pid` without a new mount), getpid() names some other process in
// that /proc, while /proc/self always resolves to the caller.
#include "snapshot.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace snapshot {

namespace {

// What the two files tell, as the kernel counts it.
struct Counters {
    std::uint64_t cpu_ticks = 0;  // utime + stime
    std::uint64_t memory_rss = 0;
    std::uint64_t memory_virtual = 0;
    std::uint64_t threads = 0;
    std::uint64_t start_ticks = 0;  // since boot
};

const std::uint64_t TICKS_PER_SECOND = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));

// One /proc/self file, opened once and re-read from the start each time.
class ProcFile {
public:
    explicit ProcFile(std::string path) : path_(std::move(path)) {}
    ProcFile(const ProcFile&) = delete;
    ProcFile& operator=(const ProcFile&) = delete;
    ~ProcFile() {
        if (fd_ >= 0) close(fd_);
    }

    // After fork the inherited descriptor still describes the parent, so the file is
    // reopened whenever the caller's pid differs from the one it was opened under.
    std::optional<std::string_view> read(std::uint32_t pid) {
        if (fd_ < 0 || fd_pid_ != pid) {
            if (fd_ >= 0) close(fd_);
            fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            fd_pid_ = pid;
        }
        if (fd_ < 0) return std::nullopt;
        const ssize_t length = pread(fd_, buffer_, sizeof buffer_, 0);
        if (length <= 0) return std::nullopt;
        return std::string_view(buffer_, static_cast<std::size_t>(length));
    }

private:
    std::string path_;
    int fd_ = -1;
    std::uint32_t fd_pid_ = 0;
    char buffer_[1024];
};

// Reads the space-separated numbers of `text` into `fields`; non-numeric ones read as
// 0. Returns how many fields there were, at most N.
template <std::size_t N>
std::size_t split_numbers(std::string_view text, std::uint64_t (&fields)[N]) {
    std::size_t count = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (count < N) {
        while (p < end && (*p == ' ' || *p == '\n')) ++p;
        if (p == end) break;
        const char* start = p;
        while (p < end && *p != ' ' && *p != '\n') ++p;
        fields[count] = 0;
        std::from_chars(start, p, fields[count++]);
    }
    return count;
}

// The first N fields of /proc/<pid>/stat from field 3, the state (which reads as 0), on.
// The command name (field 2) may hold spaces and parentheses: they follow its last ')'.
template <std::size_t N>
bool stat_fields(std::string_view stat, std::uint64_t (&fields)[N]) {
    const std::size_t close_paren = stat.rfind(')');
    return close_paren != std::string_view::npos &&
           split_numbers(stat.substr(close_paren + 1), fields) == N;
}

// The figures of the contents of /proc/<pid>/stat and /proc/<pid>/statm.
std::optional<Counters> parse(std::string_view stat, std::string_view statm) {
    std::uint64_t after_name[22];
    if (!stat_fields(stat, after_name)) return std::nullopt;
    const auto field = [&](std::size_t number) { return after_name[number - 3]; };
    std::uint64_t pages[2];
    if (split_numbers(statm, pages) < 2) return std::nullopt;

    static const auto PAGE_BYTES = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    Counters counters;
    counters.cpu_ticks = field(14) + field(15);
    counters.threads = field(20);
    counters.start_ticks = field(22);
    counters.memory_virtual = field(23);
    counters.memory_rss = pages[1] * PAGE_BYTES;
    return counters;
}

// The statistics handle: the two /proc files of this process.
class StatSource {
public:
    std::optional<Counters> refresh(std::uint32_t pid) {
        const auto stat = stat_.read(pid);
        if (!stat) return std::nullopt;
        const auto statm = statm_.read(pid);
        if (!statm) return std::nullopt;
        return parse(*stat, *statm);
    }

private:
    ProcFile stat_{"/proc/self/stat"};
    ProcFile statm_{"/proc/self/statm"};
};

struct PreviousSample {
    std::uint64_t cpu_ms;
    std::chrono::steady_clock::time_point at;
};

struct State {
    StatSource stats;
    std::optional<PreviousSample> previous;
};

std::mutex STATE_LOCK;
std::optional<State> STATE;

double cpu_percent_since(const std::optional<PreviousSample>& previous, std::uint64_t cpu_ms,
                         std::chrono::steady_clock::time_point now) {
    if (!previous || now <= previous->at) return 0.0;
    const auto elapsed = now - previous->at;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
    const double wall_ms =
        (static_cast<double>(nanos.count()) / 1e9 + static_cast<double>(seconds.count())) * 1000.0;
    if (!(wall_ms > 0.0)) return 0.0;
    const std::uint64_t used_ms = cpu_ms > previous->cpu_ms ? cpu_ms - previous->cpu_ms : 0;
    return static_cast<double>(used_ms) / wall_ms * 100.0;
}

}  // namespace

Result collect() {
    const auto pid = static_cast<std::uint32_t>(getpid());
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() < 0)
        // Contract: both failure texts reach Python as RuntimeError messages.
        return std::string("clock error: second time provided was later than self");
    const auto timestamp = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();

    std::lock_guard guard(STATE_LOCK);
    if (!STATE) STATE.emplace();
    const std::optional<Counters> figures = STATE->stats.refresh(pid);
    const auto now = std::chrono::steady_clock::now();
    if (!figures) return "process " + std::to_string(pid) + " not found by sysinfo";

    Snapshot sample;
    sample.pid = pid;
    const std::uint64_t cpu_ms = figures->cpu_ticks * 1000 / TICKS_PER_SECOND;
    sample.cpu_percent = cpu_percent_since(STATE->previous, cpu_ms, now);
    sample.memory_rss = figures->memory_rss;
    sample.memory_virtual = figures->memory_virtual;
    sample.threads = figures->threads;
    sample.timestamp = static_cast<std::uint64_t>(timestamp);
    STATE->previous = PreviousSample{cpu_ms, now};
    return sample;
}

namespace {

// The Unix second the system booted ("btime" of /proc/stat), which process starts count
// from; read once, 0 when /proc/stat has none. The line follows one line per CPU, so the
// file is read whole.
std::uint64_t boot_time() {
    static const std::uint64_t booted = [] {
        std::string text;
        const int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::uint64_t{0};
        char chunk[4096];
        ssize_t got = 0;
        while ((got = read(fd, chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<std::size_t>(got));
        close(fd);
        const std::size_t line = text.find("\nbtime ");
        std::uint64_t seconds = 0;
        if (line != std::string::npos)
            std::from_chars(text.data() + line + 7, text.data() + text.size(), seconds);
        return seconds;
    }();
    return booted;
}

// Calls `visit(dir_fd, name)` for every descriptor of `pid`; false when they may not be
// listed.
template <typename Visit>
bool for_each_descriptor(std::uint32_t pid, Visit&& visit) {
    DIR* listing = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (listing == nullptr) return false;
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') visit(dirfd(listing), entry->d_name);
    closedir(listing);
    return true;
}

}  // namespace

std::vector<std::uint32_t> children_of(std::uint32_t pid) {
    std::vector<std::uint32_t> children;
    DIR* listing = opendir("/proc");
    if (listing == nullptr) return children;
    while (const dirent* entry = readdir(listing)) {
        std::uint32_t child = 0;
        const std::string_view name(entry->d_name);
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), child);
        if (error != std::errc() || end != name.data() + name.size()) continue;
        ProcFile stat_file("/proc/" + std::string(name) + "/stat");
        const auto stat = stat_file.read(child);
        std::uint64_t state_and_parent[2];
        // Gone meanwhile, or not a process: skipped.
        if (stat && stat_fields(*stat, state_and_parent) && state_and_parent[1] == pid)
            children.push_back(child);
    }
    closedir(listing);
    return children;
}

std::optional<ProcessFigures> figures_of(std::uint32_t pid) {
    const std::string directory = "/proc/" + std::to_string(pid);
    ProcFile stat_file(directory + "/stat");
    const auto stat = stat_file.read(pid);
    if (!stat) return std::nullopt;
    ProcFile statm_file(directory + "/statm");
    const auto statm = statm_file.read(pid);
    if (!statm) return std::nullopt;
    const auto counters = parse(*stat, *statm);
    if (!counters) return std::nullopt;
    const auto ticks = static_cast<double>(TICKS_PER_SECOND);
    ProcessFigures figures;
    figures.cpu_seconds = static_cast<double>(counters->cpu_ticks) / ticks;
    figures.memory_rss = counters->memory_rss;
    figures.threads = counters->threads;
    figures.start_time_seconds =
        static_cast<double>(boot_time()) + static_cast<double>(counters->start_ticks) / ticks;
    std::uint64_t descriptors = 0;
    // Listing our own descriptors opens one more, which is not counted.
    if (for_each_descriptor(pid, [&](int, const char*) { ++descriptors; }))
        figures.open_fds = descriptors - (pid == static_cast<std::uint32_t>(getpid()) ? 1 : 0);
    return figures;
}

std::vector<std::uint64_t> socket_inodes_of(std::uint32_t pid) {
    constexpr std::string_view SOCKET = "socket:[";
    std::vector<std::uint64_t> inodes;
    for_each_descriptor(pid, [&](int dir_fd, const char* name) {
        char target[64];
        const ssize_t length = readlinkat(dir_fd, name, target, sizeof target);
        if (length <= 0) return;
        const std::string_view link(target, static_cast<std::size_t>(length));
        if (!link.starts_with(SOCKET)) return;
        std::uint64_t inode = 0;
        const char* digits = link.data() + SOCKET.size();
        if (std::from_chars(digits, link.data() + link.size(), inode).ec == std::errc())
            inodes.push_back(inode);
    });
    return inodes;
}

}  // namespace snapshot
