// The host's one memory budget. Every byte a connection holds beyond its own room (its request
// buffer, the parsed request, its reply) is charged before it is allocated, so that what all
// connections hold together never exceeds the budget, whatever clients send.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "shared/document.hpp"

namespace corvanelle::stub {

using Clock = std::chrono::steady_clock;

// Connections that wait are served first come, first served: memory given back goes to the
// longest waiting connection as soon as all it asked for is free, and wakes that one alone,
// so that neither a crowd of waiters wakes for nothing nor a large request starves behind
// smaller ones that keep arriving.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t bytes) : whole_(bytes), free_(bytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes `bytes`, waiting until `deadline` for the ones ahead and for memory given back;
    // false if it was not given in time.
    bool take(std::size_t bytes, Clock::time_point deadline);
    void give_back(std::size_t bytes);

  private:
    struct Waiter {
        explicit Waiter(std::size_t asked) : bytes(asked) {}
        std::size_t bytes;
        bool given = false;
        std::condition_variable woken;
        Waiter* next = nullptr;
    };
    void give_to_waiters();  // with the mutex held
    void leave_queue(Waiter& waiter);

    std::mutex mutex_;
    const std::size_t whole_;
    std::size_t free_;
    Waiter* first_ = nullptr;  // the queue, on the waiters' own stacks: it never allocates
    Waiter* last_ = nullptr;
};

// What one connection holds. The first kOwnRoom bytes are the connection's own, part of the
// host's fixed overhead (one for each slot of the connection cap), and the whole cost of a
// small request fits them, so that a small request never waits for the budget, whatever
// large ones hold or wait for; beyond that every byte comes from the budget. Everything drawn
// is given back when the charge ends with its connection.
class Charge {
  public:
    static constexpr std::size_t kOwnRoom = std::size_t{128} * 1024;

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
    bool reserve(std::size_t bytes) { return reserve(bytes, deadline_); }
    // The same, waiting for the budget until `deadline` rather than the connection's own.
    bool reserve(std::size_t bytes, Clock::time_point deadline) {
        const std::size_t after = held_ + bytes;
        const std::size_t needed = after > kOwnRoom ? after - kOwnRoom : 0;
        if (budget_ != nullptr && needed > drawn_) {
            if (!budget_->take(needed - drawn_, deadline)) {
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
        const std::size_t needed = held_ > kOwnRoom ? held_ - kOwnRoom : 0;
        if (drawn_ > needed) {
            budget_->give_back(drawn_ - needed);
            drawn_ = needed;
        }
    }

    [[nodiscard]] std::size_t held() const { return held_; }
    [[nodiscard]] Clock::time_point deadline() const { return deadline_; }

  private:
    MemoryBudget* budget_;
    Clock::time_point deadline_;
    std::size_t held_ = 0;
    std::size_t drawn_ = 0;
};

// What a request of `size` bytes may cost, charged before any of it is allocated: its buffer
// as it grows (and the half of it copied across when it last grew), the parsed request, and
// its default reply.
inline std::size_t receiving_cost(std::size_t size) {
    return size + size / 2;
}
// What the reader reserves for the text, by the builder's own reckoning; once more the text's
// size for a number or string that arrives in pieces; and 64 KiB for the parser's own stack
// and the handful of small vectors besides.
inline std::size_t parsing_cost(std::size_t size) {
    constexpr std::size_t kParserOverhead = std::size_t{64} * 1024;
    return DocumentBuilder::reserved_bytes(size) + size + kParserOverhead;
}
// The echoed strings never take more room than they took in the request (the writer escapes
// only what JSON requires, and a request must escape at least that much), and the request's
// own keys and brackets take more than the reply's fixed members, so a default reply is at
// most the request's size and this.
inline constexpr std::size_t kReplyFrame = 512;
inline std::size_t reply_cost(std::size_t size) {
    return size + kReplyFrame;
}

// The one place where a connection's memory is charged and given back, step by step: the
// request (everything it may come to, in one step), what is kept of it once its reply is
// chosen, its bytes once logged, and a reply still to be read (a file, or the application's
// reply and its parse).
class Holding {
  public:
    Holding(MemoryBudget* budget, Clock::time_point deadline) : charge_(budget, deadline) {}

    // A request of `size` bytes: its buffer, its parse and its default reply.
    bool take_request(std::size_t size);
    // `bytes` more at once, while a request or a reply is held (so never waited for: no
    // connection waits while it holds): the copies --redact makes of a frame; given back
    // once the copy is gone, or kept until the connection ends.
    bool take_now(std::size_t bytes) { return charge_.reserve(bytes, Clock::now()); }
    void give_back(std::size_t bytes) { charge_.release(bytes); }
    // Its reply chosen: the buffer and the parse go back, and the default reply's room unless
    // a reply was made in it; the request's own bytes stay until request_logged().
    void reply_chosen(bool made);
    void request_logged();
    // A reply of `size` bytes still to be read, with `parse` bytes more to read it by, waiting
    // for the budget until `deadline`; then the parse given back once done.
    bool take_reply(std::size_t size, std::size_t parse, Clock::time_point deadline);
    bool take_reply(std::size_t size) { return take_reply(size, 0, charge_.deadline()); }
    void reply_parsed(std::size_t parse) { charge_.release(parse); }

    [[nodiscard]] std::size_t held() const { return charge_.held(); }

  private:
    Charge charge_;
    std::size_t request_ = 0;
    bool bytes_held_ = false;
};

}  // namespace corvanelle::stub
