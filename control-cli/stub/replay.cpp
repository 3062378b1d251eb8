#include "replay.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <string>

#include "exchange/reader.hpp"
#include "recording.hpp"
#include "report/json_text.hpp"
#include "shared/utf8.hpp"

namespace corvanelle::stub {
namespace {

using Key = Replay::Key;
using Recorded = Replay::Recorded;

// Each text with its length before it, so that no two lists of texts feed the same bytes.
void add(Key& key, std::string_view text) {
    const auto step = [&key](unsigned char byte) {
        key.first = (key.first ^ byte) * 0x100000001B3U;  // FNV-1a
        key.second = (key.second + byte + 1) * 0x9E3779B97F4A7C15U ^ (key.second >> 29);
    };
    for (std::size_t size = text.size(), i = 0; i < 8; ++i, size >>= 8) {
        step(static_cast<unsigned char>(size & 0xFF));
    }
    for (const char c : text) {
        step(static_cast<unsigned char>(c));
    }
}

// A text as the recordings hold it: with --redact, its secrets as their placeholders' text.
void add(Key& key, std::string_view text, const Redaction& redaction) {
    if (!redaction.active()) {
        return add(key, text);
    }
    add(key, redaction.redact_text(text));
}

// The key of a request with a string command and an array of string arguments, its secrets
// redacted, so that a request typed with a secret finds the recording that holds its
// placeholder.
std::optional<Key> key_of(const RequestParts& request, const Redaction& redaction) {
    if (!request.arguments) {
        return std::nullopt;
    }
    Key key{0xCBF29CE484222325U, 0x84222325CBF29CE4U};
    add(key, request.command, redaction);
    bool strings = true;
    request.arguments->for_each_element([&](Document::Value item) {
        strings = strings && item.kind() == Document::Kind::string;
        add(key, strings ? item.text() : std::string_view(), redaction);
    });
    return strings ? std::optional(key) : std::nullopt;
}

// The command and its arguments as JSON strings, for a message, their secrets redacted: each
// cut short, where a character starts, past a few hundred bytes, and "..." for what is left
// out.
std::string named(const RequestParts& request, const Redaction& redaction) {
    constexpr std::size_t kNamed = 300;
    TextOut out;
    const auto put = [&out, &redaction](std::string_view given) {
        const std::string text = redaction.redact_text(given);
        const std::string_view shown = utf8_prefix(text, kNamed);
        append_string(shown, out);
        out.put(shown.size() < text.size() ? "..." : "");
    };
    put(request.command);
    out.put(" with the arguments [");
    std::size_t count = 0;
    request.arguments->for_each_element([&](Document::Value item) {
        if (out.view().size() < kNamed) {
            out.put(count == 0 ? "" : ",");
            put(item.text());
        } else if (count + 1 == request.arguments->size()) {
            out.put(",...");
        }
        ++count;
    });
    return std::string(out.view()) + "]";
}

// Exactly `size` bytes of the file.
Result<std::string> read_exactly(int fd, std::size_t size) {
    std::string text(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, text.data() + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(n < 0 ? os_error_message(errno) : std::string("it shrank while read"));
        }
        got += static_cast<std::size_t>(n);
    }
    return text;
}

// One recording, read and checked whole.
Result<Recorded> read_recording(const Descriptor& folder, const std::string& name,
                                const Redaction& redaction) {
    const Descriptor file(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.is_open() || ::fstat(file.get(), &info) != 0) {
        return fail(errno == ELOOP ? "it is a symbolic link" : os_error_message(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return fail("it is not a plain file");
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size > kRecordingLimit) {
        return fail("it is longer than " + std::to_string(kRecordingLimit) + " bytes");
    }
    auto text = read_exactly(file.get(), size);
    if (!text) {
        return forward_failure(text);
    }
    auto members = members_of(*text);
    if (!members) {
        return forward_failure(members);
    }
    if (members->request.empty() || members->reply.empty()) {
        return fail(std::string("it has no \"") +
                    std::string(members->request.empty() ? kRequestMember : kReplyMember) +
                    "\" member");
    }
    const auto request = read_json_text(members->request);
    const auto key =
        request ? key_of(parts_of(*request, members->request.size()), redaction) : std::nullopt;
    if (!key) {
        return fail(
            "its request is not an object with a string command and an array of string "
            "arguments");
    }
    if (members->reply.size() > kFrameLimit) {
        return fail("its reply is longer than " + std::to_string(kFrameLimit) + " bytes");
    }
    Recorded recorded;
    recorded.key = *key;
    recorded.inode = static_cast<std::uint64_t>(info.st_ino);
    recorded.size = size;
    recorded.modified = info.st_mtime;
    recorded.reply_offset = static_cast<std::uint32_t>(members->reply.data() - text->data());
    recorded.reply_length = static_cast<std::uint32_t>(members->reply.size());
    return recorded;
}

// Every recording of the folder, in the order of their numbers.
Result<std::vector<Recorded>> read_recordings(const Descriptor& folder, const std::string& path,
                                              const Redaction& redaction) {
    std::vector<Recorded> recordings;
    const std::string refused = "cannot replay " + path;
    bool said = false;  // the visitor's failures say all there is to say
    auto listed = for_each_name(folder, [&](std::string_view name) -> Status {
        const auto number = recording_number(name);
        if (!number) {
            return {};
        }
        said = true;
        if (recordings.size() == kMostRecordings) {
            return fail(refused + ": it holds more than " + std::to_string(kMostRecordings) +
                        " recordings");
        }
        auto recorded = read_recording(folder, std::string(name), redaction);
        if (!recorded) {
            return fail(refused + "/" + std::string(name) + ": " + recorded.error().message);
        }
        said = false;
        recorded->number = *number;
        recorded->digits = static_cast<std::uint8_t>(name.find('.'));
        recordings.push_back(*recorded);
        return {};
    });
    if (!listed) {
        return said ? forward_failure(listed) : fail(refused + ": " + listed.error().message);
    }
    std::sort(recordings.begin(), recordings.end(),
              [](const Recorded& a, const Recorded& b) { return a.number < b.number; });
    const auto twice = std::adjacent_find(
        recordings.begin(), recordings.end(),
        [](const Recorded& a, const Recorded& b) { return a.number == b.number; });
    if (twice != recordings.end()) {
        return fail("cannot replay " + path + ": two recordings are numbered " +
                    std::to_string(twice->number));
    }
    return recordings;
}

}  // namespace

Result<std::unique_ptr<Replay>> Replay::open(const Settings& settings) {
    if (!settings.given.has(Option::replay)) {
        return std::unique_ptr<Replay>();
    }
    const std::string& path = settings.replay_path;
    Descriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.is_open()) {
        return fail("cannot open the replay folder " + path + ": " + os_error_message(errno));
    }
    auto recordings = read_recordings(folder, path, settings.redaction);
    if (!recordings) {
        return forward_failure(recordings);
    }
    std::unique_ptr<Replay> replay(new Replay(std::move(folder)));
    replay->recorded_ = std::move(*recordings);
    return replay;
}

std::optional<Reply> replayed(Connection& c, const RequestParts* request) {
    return c.host.replay->answer(c, *request);
}

std::optional<Reply> Replay::answer(Connection& c, const RequestParts& request) {
    const Redaction& redaction = c.host.settings.redaction;
    const auto key = request.well_formed ? key_of(request, redaction) : std::nullopt;
    if (!key) {
        return std::nullopt;  // the echo says what is wrong with it
    }
    std::optional<Recorded> found;
    {
        const std::lock_guard lock(mutex_);
        const auto first = std::find_if(recorded_.begin(), recorded_.end(), [&](const Recorded& r) {
            return !r.used && r.key == *key;
        });
        if (first != recorded_.end()) {
            first->used = true;
            found = *first;
        }
    }
    if (!found) {
        const std::string message = "no unused recording of " + named(request, redaction);
        c.host.log.add("! " + message);
        return failure_reply(request.request_id, "STUB_NOT_RECORDED", message);
    }
    const std::string name = recording_name(found->number, found->digits);
    Descriptor file(
        ::openat(folder_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.is_open() || ::fstat(file.get(), &info) != 0) {
        return unreadable_file(c, request.request_id, "the recording " + name,
                               os_error_message(errno));
    }
    if (static_cast<std::uint64_t>(info.st_ino) != found->inode ||
        static_cast<std::uint64_t>(info.st_size) != found->size ||
        info.st_mtime != found->modified) {
        return unreadable_file(c, request.request_id, "the recording " + name,
                               "it changed since the host started");
    }
    Reply reply;
    reply.file = std::move(file);
    reply.file_offset = found->reply_offset;
    reply.file_size = found->reply_length;
    reply.recorded = true;
    reply.file_name = name;
    reply.echoed_id = echoed(request.request_id);
    return reply;
}

}  // namespace corvanelle::stub
