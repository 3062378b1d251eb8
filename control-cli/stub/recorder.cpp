#include "recorder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <string>

#include "recording.hpp"
#include "report/output.hpp"

namespace corvanelle::stub {

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
    std::unique_ptr<Recorder> recorder(new Recorder(std::move(folder), settings.redaction));
    recorder->next_ = held > 0 ? last + 1 : 1;
    return recorder;
}

namespace {

Status write_pieces(int fd, std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) {
        if (auto written = write_all(fd, piece); !written) {
            return written;
        }
    }
    return {};
}

void not_recorded(RequestLog& log, std::uint32_t number, const Failure& why) {
    log.add("! exchange " + std::to_string(number) + " was not recorded (" +
            recording_name(number) + "): " + why.message);
}

// A frame as a recording holds it: its secrets redacted (into `kept`), or as it came.
Result<std::string_view> as_kept(const Redaction& redaction, std::string_view frame,
                                 std::optional<std::string>& kept) {
    if (!redaction.active()) {
        return frame;
    }
    auto redacted = redaction.redact(frame, kFrameLimit);
    if (!redacted) {
        return forward_failure(redacted);
    }
    kept = std::move(*redacted);
    return kept ? std::string_view(*kept) : frame;
}

}  // namespace

Recorder::Exchange::~Exchange() {
    if (file_.is_open()) {
        (void)::unlinkat(recorder_->folder_.get(), temporary_name(number_).c_str(), 0);
    }
}

std::optional<Recorder::Exchange> Recorder::begin(std::string_view request, RequestLog& log) {
    std::uint32_t number = 0;
    {
        const std::lock_guard lock(mutex_);
        number = next_ <= kLastNumber ? next_++ : 0;
    }
    if (number == 0) {
        log.add("! an exchange was not recorded: the recording folder has used up its numbers");
        return std::nullopt;
    }
    std::optional<std::string> redacted;
    const auto kept = as_kept(redaction_, request, redacted);
    if (!kept) {
        not_recorded(log, number, kept.error());
        return std::nullopt;
    }
    Descriptor file(::openat(folder_.get(), temporary_name(number).c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.is_open()) {
        not_recorded(log, number, Failure{os_error_message(errno)});
        return std::nullopt;
    }
    Exchange exchange(*this, number, std::move(file));
    static const std::string before = "{\n  \"" + std::string(kRequestMember) + "\": ";
    if (auto written = write_pieces(exchange.file_.get(), {before, *kept}); !written) {
        not_recorded(log, number, written.error());
        return std::nullopt;
    }
    return exchange;
}

// Written whole and flushed before it is renamed: whenever the host is stopped, a recording
// is either whole or not there.
void Recorder::finish(Exchange& exchange, std::string_view reply, RequestLog& log) const {
    static const std::string before = ",\n  \"" + std::string(kReplyMember) + "\": ";
    std::optional<std::string> redacted;
    const auto kept = as_kept(redaction_, reply, redacted);
    if (!kept) {
        return not_recorded(log, exchange.number_, kept.error());  // the temporary goes
    }
    const int fd = exchange.file_.get();
    Status written = write_pieces(fd, {before, *kept, "\n}\n"});
    if (written && ::fsync(fd) != 0) {
        written = fail(os_error_message(errno));
    }
    if (written && ::renameat(folder_.get(), temporary_name(exchange.number_).c_str(),
                              folder_.get(), recording_name(exchange.number_).c_str()) != 0) {
        written = fail(os_error_message(errno));
    }
    if (!written) {
        return not_recorded(log, exchange.number_, written.error());  // the temporary goes
    }
    exchange.file_.close();
}

}  // namespace corvanelle::stub
