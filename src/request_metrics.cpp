// The request store: a ring of record slots that grows by doubling and never
// shrinks. An evicted or cleared record gives its texts back at once, so memory
// follows what is retained, not the longest texts ever seen.
#include "request_metrics.hpp"

#include <chrono>
#include <mutex>

#include "units.hpp"

namespace request_metrics {

namespace {
constexpr std::uint64_t DEFAULT_MAX_REQUESTS = 10000;
}

std::atomic<std::uint64_t> MAX_REQUESTS{DEFAULT_MAX_REQUESTS};
std::atomic<std::uint64_t> TOTAL_REQUESTS{0};
std::atomic<std::uint64_t> TOTAL_ERRORS{0};

namespace {

// FIFO ring whose capacity starts at 4 slots and doubles when full; it never shrinks.
class Ring {
public:
    std::size_t size() const { return size_; }

    RequestMetric& push_back_slot() {
        if (size_ == slots_.size()) grow();
        RequestMetric& slot = slots_[(head_ + size_) & (slots_.size() - 1)];
        ++size_;
        return slot;
    }

    void pop_front() {
        // Moving out takes the texts' buffers along; assigning an empty record would
        // leave them allocated in the slot.
        const RequestMetric evicted = std::move(slots_[head_]);
        head_ = (head_ + 1) & (slots_.size() - 1);
        --size_;
    }

    void clear() {
        while (size_ > 0) pop_front();
        head_ = 0;
    }

    template <typename F>
    void for_each(F&& visit) const {
        for (std::size_t i = 0; i < size_; ++i) visit(slots_[(head_ + i) & (slots_.size() - 1)]);
    }

private:
    void grow() {
        std::vector<RequestMetric> bigger(slots_.empty() ? 4 : slots_.size() * 2);
        for (std::size_t i = 0; i < size_; ++i)
            bigger[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<RequestMetric> slots_;  // size is zero or a power of two
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

struct Store {
    std::mutex lock;
    Ring ring;
};

Store& STORE() {
    static Store store;
    return store;
}

void evict_beyond(Ring& ring, std::uint64_t capacity) {
    while (ring.size() > capacity) ring.pop_front();
}

}  // namespace

void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms) {
    const std::uint64_t timestamp = units::unix_seconds();
    TOTAL_REQUESTS.fetch_add(1, std::memory_order_relaxed);
    if (status_code >= units::ERROR_STATUS) TOTAL_ERRORS.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t capacity = MAX_REQUESTS.load(std::memory_order_relaxed);

    Store& store = STORE();
    std::lock_guard guard(store.lock);
    RequestMetric& slot = store.ring.push_back_slot();
    slot.method.assign(method);
    slot.path.assign(path);
    slot.status_code = status_code;
    slot.duration_ms = duration_ms;
    slot.timestamp = timestamp;
    evict_beyond(store.ring, capacity);
}

std::vector<RequestMetric> get_all() {
    Store& store = STORE();
    std::lock_guard guard(store.lock);
    std::vector<RequestMetric> copies;
    copies.reserve(store.ring.size());
    store.ring.for_each([&](const RequestMetric& m) { copies.push_back(m); });
    return copies;
}

std::vector<double> durations() {
    Store& store = STORE();
    std::lock_guard guard(store.lock);
    std::vector<double> values;
    values.reserve(store.ring.size());
    store.ring.for_each([&](const RequestMetric& m) { values.push_back(m.duration_ms); });
    return values;
}

void clear() {
    Store& store = STORE();
    std::lock_guard guard(store.lock);
    store.ring.clear();
    TOTAL_REQUESTS.store(0, std::memory_order_relaxed);
    TOTAL_ERRORS.store(0, std::memory_order_relaxed);
}

void set_max_requests(std::uint64_t max) {
    const std::uint64_t capacity = max < 1 ? 1 : max;
    MAX_REQUESTS.store(capacity, std::memory_order_relaxed);
    Store& store = STORE();
    std::lock_guard guard(store.lock);
    evict_beyond(store.ring, capacity);
}

}  // namespace request_metrics
