#include "log.hpp"

#include <poll.h>
#include <sys/uio.h>
#include <array>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "exchange/frame.hpp"

namespace corvanelle::stub {
namespace {

// Writes the parts whole, waiting while the log is not ready for more. What it wrote, and
// the error that stopped it, if one did.
struct Written {
    std::size_t bytes = 0;
    int error = 0;
};

Written write_whole(int fd, std::array<std::string_view, 3> parts) {
    Written written;
    const std::size_t total = parts[0].size() + parts[1].size() + parts[2].size();
    while (written.bytes < total) {
        std::array<iovec, 3> pieces{};
        std::size_t count = 0;
        std::size_t skip = written.bytes;
        for (const std::string_view part : parts) {
            if (skip >= part.size()) {
                skip -= part.size();
                continue;
            }
            pieces[count++] = {const_cast<char*>(part.data() + skip), part.size() - skip};
            skip = 0;
        }
        const ssize_t n = ::writev(fd, pieces.data(), static_cast<int>(count));
        if (n > 0) {
            written.bytes += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd one{fd, POLLOUT, 0};
            (void)::poll(&one, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            written.error = n == 0 ? EIO : errno;
            return written;
        }
    }
    return written;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

OwnedText loggable_request(OwnedText request) {
    const std::string_view text = request.view();
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        return {};
    }
    std::size_t longer = 0;  // each of these code points takes 2 or 3 bytes, and 6 escaped
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i + 1]);
        if (text[i] == '\xC2' && b >= 0x80 && b <= 0x9F) {
            longer += 4;
        } else if (text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9") {
            longer += 3;
        }
    }
    if (longer == 0) {
        return request;
    }
    OwnedText line = OwnedText::uninitialised(text.size() + longer);
    char* out = line.data.get();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        const bool c1 = text[i] == '\xC2' && b >= 0x80 && b <= 0x9F;
        const bool separator =
            text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9";
        if (!c1 && !separator) {
            *out++ = text[i];
            continue;
        }
        const unsigned code = c1 ? b : (text[i + 2] == '\xA8' ? 0x2028U : 0x2029U);
        const std::array<char, 6> escape{
            '\\',           'u', kHex[code >> 12], kHex[(code >> 8) & 15], kHex[(code >> 4) & 15],
            kHex[code & 15]};
        out = std::copy(escape.begin(), escape.end(), out);
        i += c1 ? 1 : 2;
    }
    return line;
}

Status RequestLog::start(int fd) {
    fd_ = fd;
    try {
        writer_ = std::thread([this] { write_out(); });
    } catch (const std::system_error& e) {
        fd_ = -1;
        return fail(std::string("cannot start the log: ") + e.what());
    }
    return {};
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

void RequestLog::add_line(OwnedText line) {
    {
        const std::lock_guard lock(mutex_);
        if (queued_bytes_ >= kQueueBytes || lines_.size() >= kQueueLines) {
            ++dropped_behind_;
            return;
        }
        try {
            lines_.push_back(std::move(line));
        } catch (const std::bad_alloc&) {
            ++dropped_behind_;
            return;
        }
        queued_bytes_ += lines_.back().size;
    }
    queued_.notify_one();
}

void RequestLog::add_request(OwnedText request) {
    if (fd_ < 0) {
        return;
    }
    const std::size_t size = request.size;
    try {
        if (redaction_ != nullptr && redaction_->active()) {
            auto redacted = redaction_->redact(request.view(), kFrameLimit);
            if (!redacted) {
                add("! a request of " + std::to_string(size) +
                    " bytes (not logged: " + redacted.error().message + ")");
                return;
            }
            if (*redacted) {
                request = OwnedText::copy_of(**redacted);
            }
        }
        OwnedText line = loggable_request(std::move(request));
        if (line.size == 0) {
            add("! a request of " + std::to_string(size) +
                " bytes with line breaks (not logged as it is)");
            return;
        }
        add_line(std::move(line));
    } catch (const std::bad_alloc&) {
        const std::lock_guard lock(mutex_);
        ++dropped_behind_;
    }
}

void RequestLog::add(std::string_view line) {
    if (fd_ < 0) {
        return;
    }
    try {
        add_line(OwnedText::copy_of(line));
    } catch (const std::bad_alloc&) {
        const std::lock_guard lock(mutex_);
        ++dropped_behind_;
    }
}

void RequestLog::finish(std::chrono::milliseconds grace) {
    if (fd_ < 0) {
        return;
    }
    std::unique_lock lock(mutex_);
    (void)written_.wait_for(lock, grace, [&] { return lines_.empty() && !writing_; });
}

RequestLog::Entry RequestLog::write_entry(std::string_view text) {
    // A line a failed write cut short is ended before anything else is written.
    const std::string_view end_of_cut = cut_ ? "\n" : "";
    const Written written = write_whole(fd_, {end_of_cut, text, "\n"});
    if (written.error == 0) {
        cut_ = false;
        return Entry::whole;
    }
    failure_ = "writing the log failed: " + os_error_message(written.error);
    if (written.bytes > end_of_cut.size()) {
        cut_ = true;
        return Entry::cut;
    }
    return Entry::lost;
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
        // What was lost goes before the next line the log takes.
        std::size_t behind = std::exchange(dropped_behind_, 0);
        std::size_t failed = std::exchange(dropped_failed_, 0);
        writing_ = true;
        lock.unlock();
        Entry entry = Entry::whole;
        if (cut_) {
            entry = write_entry("! the line above was cut short: " + failure_);
        }
        if (entry == Entry::whole && failed > 0) {
            entry =
                write_entry("! " + std::to_string(failed) + " log lines were dropped: " + failure_);
            failed = entry == Entry::whole ? 0 : failed;
        }
        if (entry == Entry::whole && behind > 0) {
            entry = write_entry("! " + std::to_string(behind) +
                                " log lines were dropped: the log did not keep up");
            behind = entry == Entry::whole ? 0 : behind;
        }
        const bool line_tried = entry == Entry::whole;
        if (line_tried) {
            entry = write_entry(line.view());
        }
        lock.lock();
        queued_bytes_ -= line.size;
        // A line cut short is told of as such; one not written at all is counted.
        dropped_failed_ +=
            failed + (entry == Entry::whole || (line_tried && entry == Entry::cut) ? 0 : 1);
        dropped_behind_ += behind;
        writing_ = false;
        if (lines_.empty()) {
            written_.notify_all();
        }
    }
}

}  // namespace corvanelle::stub
