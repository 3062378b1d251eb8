#include "log.hpp"

#include <sys/uio.h>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace corvanelle::stub {
namespace {

// The line and its line feed, whole; false when the log refuses them.
bool write_line(int fd, std::string_view line) {
    char feed = '\n';
    std::size_t done = 0;
    const std::size_t total = line.size() + 1;
    while (done < total) {
        iovec parts[2]{};
        int count = 0;
        if (done < line.size()) {
            parts[count++] = {const_cast<char*>(line.data() + done), line.size() - done};
        }
        parts[count++] = {&feed, 1};
        const ssize_t n = ::writev(fd, parts, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

RequestLog::RequestLog(int fd) : fd_(fd) {
    if (fd_ < 0) {
        return;
    }
    try {
        writer_ = std::thread([this] { write_out(); });
    } catch (const std::system_error&) {
        fd_ = -1;
    }
}

RequestLog::~RequestLog() {
    if (writer_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            ending_ = true;
        }
        queued_.notify_all();
        // A writer stuck on a log nobody reads is left behind; the process ends with it.
        writer_.detach();
    }
}

void RequestLog::add(OwnedText line) {
    if (fd_ < 0) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        if (queued_bytes_ >= kQueueBytes || lines_.size() >= kQueueLines) {
            ++dropped_;
            return;
        }
        try {
            lines_.push_back(std::move(line));
        } catch (const std::bad_alloc&) {
            ++dropped_;
            return;
        }
        queued_bytes_ += lines_.back().size;
    }
    queued_.notify_one();
}

void RequestLog::add(std::string_view line) {
    if (fd_ < 0) {
        return;
    }
    try {
        add(OwnedText::copy_of(line));
    } catch (const std::bad_alloc&) {
        const std::lock_guard lock(mutex_);
        ++dropped_;
    }
}

void RequestLog::finish(std::chrono::milliseconds grace) {
    if (fd_ < 0) {
        return;
    }
    std::unique_lock lock(mutex_);
    (void)written_.wait_for(lock, grace, [&] { return lines_.empty() && !writing_; });
}

void RequestLog::write_out() {
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return !lines_.empty() || ending_; });
        if (lines_.empty()) {
            return;
        }
        OwnedText line = std::move(lines_.front());
        lines_.pop_front();
        // The count of lines the log could not take goes before the next line it takes.
        const std::size_t dropped = std::exchange(dropped_, 0);
        writing_ = true;
        lock.unlock();
        const bool counted =
            dropped == 0 || write_line(fd_, "! " + std::to_string(dropped) +
                                                " log lines were dropped: the log did not keep up");
        const bool written = counted && write_line(fd_, line.view());
        lock.lock();
        queued_bytes_ -= line.size;
        // A log that fails (a full disk, a closed pipe) loses lines the same way.
        dropped_ += (counted ? 0 : dropped) + (written ? 0 : 1);
        writing_ = false;
        if (lines_.empty()) {
            written_.notify_all();
        }
    }
}

}  // namespace corvanelle::stub
