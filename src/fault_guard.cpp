#include "fault_guard.hpp"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace fault_guard {

namespace {

// A process maps a shard and a series table at a time, and briefly the next ones.
constexpr std::size_t MAX_RANGES = 32;

// Read by the signal handler, so only lock-free atomics.
struct Range {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> lost{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

Range RANGES[MAX_RANGES];
std::mutex CLAIM_LOCK;  // guard and release, never the handler
struct sigaction PREVIOUS {};

bool within(const Range& range, std::uintptr_t address) {
    const std::uintptr_t start = range.start.load(std::memory_order_acquire);
    return start != 0 && address >= start &&
           address - start < range.size.load(std::memory_order_acquire);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    // si_code > 0: raised by the kernel for a fault, with the address of the access.
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (Range& range : RANGES) {
            if (!within(range, address)) continue;
            void* start = reinterpret_cast<void*>(range.start.load(std::memory_order_acquire));
            if (mmap(start, range.size.load(std::memory_order_acquire), PROT_READ | PROT_WRITE,
                     MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED)
                break;
            range.lost.store(true, std::memory_order_release);
            return;  // the store is retried, into the anonymous pages
        }
    }
    if (PREVIOUS.sa_flags & SA_SIGINFO) {
        PREVIOUS.sa_sigaction(signal, info, context);
    } else if (PREVIOUS.sa_handler != SIG_IGN && PREVIOUS.sa_handler != SIG_DFL) {
        PREVIOUS.sa_handler(signal);
    } else if (PREVIOUS.sa_handler == SIG_DFL) {
        // The default action, at once: the signal is blocked in here and delivered on return.
        sigaction(signal, &PREVIOUS, nullptr);
        raise(signal);
    }
}

bool install() {
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &PREVIOUS) == 0;
}

}  // namespace

Token guard(void* address, std::size_t size) {
    std::lock_guard lock(CLAIM_LOCK);
    static const bool INSTALLED = install();
    if (!INSTALLED) return 0;
    for (std::size_t i = 0; i < MAX_RANGES; ++i) {
        Range& range = RANGES[i];
        if (range.start.load(std::memory_order_relaxed) != 0) continue;
        range.lost.store(false, std::memory_order_relaxed);
        range.size.store(size, std::memory_order_relaxed);
        range.start.store(reinterpret_cast<std::uintptr_t>(address), std::memory_order_release);
        return static_cast<Token>(i + 1);
    }
    return 0;
}

void release(Token token) {
    if (token <= 0) return;
    std::lock_guard lock(CLAIM_LOCK);
    RANGES[token - 1].start.store(0, std::memory_order_release);
}

bool lost(Token token) {
    return token > 0 && RANGES[token - 1].lost.load(std::memory_order_acquire);
}

}  // namespace fault_guard
