// Process sampling from /proc/<pid>/stat: one read carries the CPU times, the thread
// count, the virtual size and the resident pages.
#include "snapshot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>

namespace snapshot {

namespace {

struct ProcessFigures {
    std::uint64_t cpu_ms = 0;
    std::uint64_t memory_rss = 0;
    std::uint64_t memory_virtual = 0;
    std::uint64_t threads = 0;
};

// An open /proc/<pid>/stat, re-read on every refresh. After fork the inherited
// descriptor still describes the parent, so it is tied to the pid it was opened for.
class StatSource {
public:
    std::optional<ProcessFigures> refresh(std::uint32_t pid) {
        if (fd_ < 0 || fd_pid_ != pid) reopen(pid);
        if (fd_ < 0) return std::nullopt;
        char buffer[1024];
        const ssize_t length = pread(fd_, buffer, sizeof buffer - 1, 0);
        if (length <= 0) return std::nullopt;
        return parse({buffer, static_cast<std::size_t>(length)});
    }

private:
    void reopen(std::uint32_t pid) {
        if (fd_ >= 0) close(fd_);
        const std::string path = "/proc/" + std::to_string(pid) + "/stat";
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        fd_pid_ = pid;
    }

    // Fields are counted from 1 as in proc(5); the command name (field 2) may hold
    // spaces and parentheses, so counting starts after its last ')'.
    static std::optional<ProcessFigures> parse(std::string_view text) {
        const std::size_t close_paren = text.rfind(')');
        if (close_paren == std::string_view::npos) return std::nullopt;
        std::uint64_t fields[25] = {};
        std::size_t field = 2;
        const char* p = text.data() + close_paren + 1;
        const char* const end = text.data() + text.size();
        while (p < end && field < 24) {
            while (p < end && *p == ' ') ++p;
            const char* start = p;
            while (p < end && *p != ' ' && *p != '\n') ++p;
            ++field;
            std::from_chars(start, p, fields[field]);  // non-numeric fields stay 0
        }
        if (field < 24) return std::nullopt;
        static const auto TICKS_PER_SECOND = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
        static const auto PAGE_SIZE = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        ProcessFigures figures;
        figures.cpu_ms = (fields[14] + fields[15]) * 1000 / TICKS_PER_SECOND;
        figures.threads = fields[20];
        figures.memory_virtual = fields[23];
        figures.memory_rss = fields[24] * PAGE_SIZE;
        return figures;
    }

    int fd_ = -1;
    std::uint32_t fd_pid_ = 0;
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
    if (since_epoch.count() < 0) return std::string("clock error: second time provided was later than self");
    const auto timestamp = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();

    std::lock_guard guard(STATE_LOCK);
    if (!STATE) STATE.emplace();
    const std::optional<ProcessFigures> figures = STATE->stats.refresh(pid);
    const auto now = std::chrono::steady_clock::now();
    if (!figures) return "process " + std::to_string(pid) + " not found by sysinfo";

    Snapshot sample;
    sample.pid = pid;
    sample.cpu_percent = cpu_percent_since(STATE->previous, figures->cpu_ms, now);
    sample.memory_rss = figures->memory_rss;
    sample.memory_virtual = figures->memory_virtual;
    sample.threads = figures->threads;
    sample.timestamp = static_cast<std::uint64_t>(timestamp);
    STATE->previous = PreviousSample{figures->cpu_ms, now};
    return sample;
}

}  // namespace snapshot
