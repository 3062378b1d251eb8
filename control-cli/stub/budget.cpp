#include "budget.hpp"

namespace corvanelle::stub {

bool MemoryBudget::take(std::size_t bytes, Clock::time_point deadline) {
    if (bytes > whole_) {
        return false;  // never, however long it waits
    }
    std::unique_lock lock(mutex_);
    if (first_ == nullptr && free_ >= bytes) {
        free_ -= bytes;
        return true;
    }
    // The queue points at this stack frame only while it waits: it leaves the queue, given
    // memory or not, before it returns.
    Waiter me(bytes);
    (last_ != nullptr ? last_->next : first_) = &me;
    // cppcheck-suppress danglingLifetime
    last_ = &me;
    if (me.woken.wait_until(lock, deadline, [&] { return me.given; })) {
        return true;
    }
    leave_queue(me);
    // Those behind it may fit where it did not.
    give_to_waiters();
    return false;
}

void MemoryBudget::give_back(std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    const std::lock_guard lock(mutex_);
    free_ += bytes;
    give_to_waiters();
}

void MemoryBudget::give_to_waiters() {
    while (first_ != nullptr && first_->bytes <= free_) {
        Waiter& served = *first_;
        first_ = served.next;
        if (first_ == nullptr) {
            last_ = nullptr;
        }
        free_ -= served.bytes;
        served.given = true;
        served.woken.notify_one();
    }
}

void MemoryBudget::leave_queue(Waiter& waiter) {
    Waiter* before = nullptr;
    for (Waiter* at = first_; at != nullptr; before = at, at = at->next) {
        if (at == &waiter) {
            (before != nullptr ? before->next : first_) = at->next;
            if (last_ == at) {
                last_ = before;
            }
            return;
        }
    }
}

bool Holding::take_request(std::size_t size) {
    request_ = size;
    bytes_held_ = charge_.reserve(receiving_cost(size) + parsing_cost(size) + reply_cost(size));
    return bytes_held_;
}

void Holding::reply_chosen(bool made) {
    charge_.release(receiving_cost(request_) - request_ + parsing_cost(request_) +
                    (made ? 0 : reply_cost(request_)));
}

void Holding::request_logged() {
    if (bytes_held_) {
        charge_.release(request_);
        bytes_held_ = false;
    }
}

bool Holding::take_reply(std::size_t size, std::size_t parse, Clock::time_point deadline) {
    return charge_.reserve(size + parse, deadline);
}

}  // namespace corvanelle::stub
