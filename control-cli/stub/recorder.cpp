#include "recorder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <string>

#include "recording.hpp"
#include "report/output.hpp"

namespace corvanelle::stub {

namespace {

// Whether a file can be made in the folder: the temporary name of the first exchange, made
// and removed again (a read-only mount, or a folder without write permission, cannot).
Status can_create_in(const Descriptor& folder, std::uint32_t number) {
    const std::string name = temporary_name(number);
    const Descriptor file(::openat(folder.get(), name.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.is_open()) {
        return fail("no file can be made in it: " + os_error_message(errno));
    }
    (void)::unlinkat(folder.get(), name.c_str(), 0);
    return {};
}

}  // namespace

Result<std::unique_ptr<Recorder>> Recorder::open(const Settings& settings) {
    if (!settings.given.has(Option::record)) {
        return std::unique_ptr<Recorder>();
    }
    const std::string& path = settings.record_path;
    // Recordings hold screen text and clipboard contents: for their owner's eyes alone.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot make the recording folder " + path + ": " + os_error_message(errno));
    }
    Descriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.is_open()) {
        return fail("cannot open the recording folder " + path + ": " + os_error_message(errno));
    }
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? "another host is recording into " + path
                                         : "cannot lock " + path + ": " + os_error_message(errno));
    }
    std::size_t held = 0;
    std::uint32_t last = 0;
    auto listed = for_each_name(folder, [&](std::string_view name) {
        if (const auto number = recording_number(name)) {
            ++held;
            last = std::max(last, *number);
        } else if (is_temporary_name(name)) {
            // Left by a host that was killed while writing it; no other host writes here.
            (void)::unlinkat(folder.get(), std::string(name).c_str(), 0);
        }
        return Status();
    });
    if (!listed) {
        return fail("cannot list the recording folder " + path + ": " + listed.error().message);
    }
    if (held > 0 && !settings.given.has(Option::append)) {
        return fail("the recording folder " + path +
                    " already holds recordings: add to them with --append, or record elsewhere");
    }
    const std::uint32_t next = held > 0 ? last + 1 : 1;
    if (auto writable = can_create_in(folder, next); !writable) {
        return fail("cannot record into " + path + ": " + writable.error().message);
    }
    std::unique_ptr<Recorder> recorder(new Recorder(std::move(folder), settings.redaction));
    recorder->next_ = next;
    return recorder;
}

Recorder::Exchange::~Exchange() {
    if (file_.is_open()) {
        (void)::unlinkat(recorder_->folder_.get(), temporary_name(number_).c_str(), 0);
    }
}

namespace {

Unexpected not_recorded(std::uint32_t number, const std::string& why) {
    return fail("exchange " + std::to_string(number) + " was not recorded (" +
                recording_name(number) + "): " + why);
}

}  // namespace

// With --redact, the frame's secrets redacted first: one that cannot be (a value outside the
// strings) keeps the exchange out, and nothing of it is written.
Status Recorder::write_frame(int fd, std::string_view before, std::string_view frame) const {
    std::optional<std::string> redacted;
    if (redaction_.active()) {
        auto made = redaction_.redact(frame, kFrameLimit);
        if (!made) {
            return forward_failure(made);
        }
        redacted = std::move(*made);
    }
    if (auto written = write_all(fd, before); !written) {
        return written;
    }
    return write_all(fd, redacted ? std::string_view(*redacted) : frame);
}

Result<Recorder::Exchange> Recorder::begin(std::string_view request) {
    std::uint32_t number = 0;
    {
        const std::lock_guard lock(mutex_);
        number = next_ <= kLastNumber ? next_++ : 0;
    }
    if (number == 0) {
        return fail("an exchange was not recorded: the recording folder has used up its numbers");
    }
    Descriptor file(::openat(folder_.get(), temporary_name(number).c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.is_open()) {
        return not_recorded(number, os_error_message(errno));
    }
    Exchange exchange(*this, number, std::move(file));
    if (auto written = write_frame(exchange.file_.get(), kOpening, request); !written) {
        return not_recorded(number, written.error().message);
    }
    return exchange;
}

// Written whole and flushed before it is renamed: whenever the host is stopped, a recording
// is either whole or not there.
Status Recorder::finish(Exchange& exchange, std::string_view reply) const {
    const int fd = exchange.file_.get();
    Status written = write_frame(fd, kBetween, reply);
    if (written) {
        written = write_all(fd, kClosing);
    }
    if (written && ::fsync(fd) != 0) {
        written = fail(os_error_message(errno));
    }
    if (written && ::renameat(folder_.get(), temporary_name(exchange.number_).c_str(),
                              folder_.get(), recording_name(exchange.number_).c_str()) != 0) {
        written = fail(os_error_message(errno));
    }
    if (!written) {
        return not_recorded(exchange.number_, written.error().message);  // the temporary goes
    }
    exchange.file_.close();
    return {};
}

}  // namespace corvanelle::stub
