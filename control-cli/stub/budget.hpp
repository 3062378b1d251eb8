// The host's one memory budget. Every byte a connection holds (its request buffer, the parsed
// request, its reply) is charged before it is allocated, so that what all connections hold
// together never exceeds the budget, whatever clients send.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace corvanelle::stub {

using Clock = std::chrono::steady_clock;

class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t bytes) : whole_(bytes), free_(bytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes `bytes`, waiting until `deadline` for other connections to give memory back;
    // false if they did not give back enough in time.
    bool take(std::size_t bytes, Clock::time_point deadline) {
        if (bytes > whole_) {
            return false;  // never, however long it waits
        }
        std::unique_lock lock(mutex_);
        if (!given_back_.wait_until(lock, deadline, [&] { return free_ >= bytes; })) {
            return false;
        }
        free_ -= bytes;
        return true;
    }

    void give_back(std::size_t bytes) {
        if (bytes == 0) {
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            free_ += bytes;
        }
        given_back_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable given_back_;
    const std::size_t whole_;
    std::size_t free_;
};

// What one connection holds. The first kAllowance bytes are the connection's own, part of
// the host's fixed overhead (a slot of the connection cap), so that a small request is never
// held up by large ones; beyond that every byte comes from the budget. Everything drawn is
// given back when the charge ends with its connection.
class Charge {
  public:
    static constexpr std::size_t kAllowance = std::size_t{64} * 1024;

    // Without a budget nothing is counted (the fuzz target, which serves one connection).
    Charge(MemoryBudget* budget, Clock::time_point deadline)
        : budget_(budget), deadline_(deadline) {}
    ~Charge() {
        if (budget_ != nullptr) {
            budget_->give_back(drawn_);
        }
    }
    Charge(const Charge&) = delete;
    Charge& operator=(const Charge&) = delete;

    // Reserves `bytes` more before they are allocated; false when the budget cannot spare
    // them by the deadline (nothing is then reserved).
    bool reserve(std::size_t bytes) {
        const std::size_t after = held_ + bytes;
        const std::size_t needed = after > kAllowance ? after - kAllowance : 0;
        if (budget_ != nullptr && needed > drawn_) {
            if (!budget_->take(needed - drawn_, deadline_)) {
                return false;
            }
            drawn_ = needed;
        }
        held_ = after;
        return true;
    }

    // `bytes` reserved earlier were freed.
    void release(std::size_t bytes) {
        held_ -= bytes < held_ ? bytes : held_;
        if (budget_ == nullptr) {
            return;
        }
        const std::size_t needed = held_ > kAllowance ? held_ - kAllowance : 0;
        if (drawn_ > needed) {
            budget_->give_back(drawn_ - needed);
            drawn_ = needed;
        }
    }

    void wait_no_later_than(Clock::time_point deadline) { deadline_ = deadline; }
    [[nodiscard]] std::size_t held() const { return held_; }

  private:
    MemoryBudget* budget_;
    Clock::time_point deadline_;
    std::size_t held_ = 0;
    std::size_t drawn_ = 0;
};

}  // namespace corvanelle::stub
