#include "replay.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <string>

#include "exchange/reader.hpp"
#include "recording.hpp"
#include "report/json_text.hpp"
#include "shared/utf8.hpp"

namespace corvanelle::stub {
namespace {

using Recorded = Replay::Recorded;

constexpr Key kStart{0xCBF29CE484222325U, 0x84222325CBF29CE4U};
// What stands before the elements of an array of arguments, one by one: no JSON text.
constexpr std::string_view kAnArray = "[";

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

// A value as its compact text, with --redact its secrets as their placeholders (unless a
// value stands outside its strings: such a request was never recorded, nor is it matched).
std::string compact(Document::Value value, const Redaction& redaction) {
    std::string text = to_compact(value);
    if (redaction.active()) {
        auto redacted = redaction.redact(text, std::numeric_limits<std::size_t>::max());
        if (redacted && *redacted) {
            text = std::move(**redacted);
        }
    }
    return text;
}

// A value as its compact text, its secrets redacted, cut short where a character starts past
// `most` bytes, with "..." for what is left out.
std::string shown(Document::Value value, std::size_t most, const Redaction& redaction) {
    const std::string text = compact(value, redaction);
    const std::string_view kept = utf8_prefix(text, most);
    return std::string(kept) + (kept.size() < text.size() ? "..." : "");
}

// The request as a message names it: its command and arguments (as JSON), each cut short past
// a few hundred bytes, or the whole request when it has no such members.
std::string named(const RequestParts& request, const Redaction& redaction) {
    constexpr std::size_t kNamed = 300;
    if (!request.arguments) {
        return "the request " + shown(*request.root, kNamed, redaction);
    }
    TextOut out;
    const std::string command = redaction.redact_text(request.command);
    append_string(utf8_prefix(command, kNamed), out);
    out.put(command.size() > kNamed ? "..." : "");
    std::string arguments;
    request.arguments->for_each_element([&](Document::Value item) {
        if (arguments.size() < kNamed) {
            arguments += (arguments.empty() ? "" : ",") + shown(item, kNamed, redaction);
        } else if (!arguments.ends_with("...")) {
            arguments += ",...";
        }
    });
    return std::string(out.view()) + " with the arguments [" + arguments + "]";
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

// What the replayer keeps of a recording whose members are `members` within `text`.
Result<Recorded> kept_of(const std::string& text, const Members& members,
                         const Redaction& redaction) {
    if (members.request.empty() || members.reply.empty()) {
        return fail(std::string("it has no \"") +
                    std::string(members.request.empty() ? kRequestMember : kReplyMember) +
                    "\" member");
    }
    if (members.reply.size() > kFrameLimit) {
        return fail("its reply is longer than " + std::to_string(kFrameLimit) + " bytes");
    }
    const auto request = read_json_text(members.request);
    if (!request) {
        return fail("its request: " + request.error().message);
    }
    Recorded recorded = Replay::match_of(parts_of(*request, members.request.size()), redaction);
    recorded.reply_digest = slice_digest(members.reply);
    recorded.reply_offset = static_cast<std::uint32_t>(members.reply.data() - text.data());
    recorded.reply_length = static_cast<std::uint32_t>(members.reply.size());
    return recorded;
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
    return kept_of(*text, *members, redaction);
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
        return fail(refused + ": two recordings are numbered " + std::to_string(twice->number));
    }
    return recordings;
}

// "1 recording", "2 recordings".
std::string counted(std::size_t count, std::string_view thing) {
    return std::to_string(count) + " " + std::string(thing) + (count == 1 ? "" : "s");
}

std::string name_of(const Recorded& recorded) {
    return recording_name(recorded.number, recorded.digits);
}

}  // namespace

Key request_key(Document::Value request, const Redaction& redaction) {
    Key key = kStart;
    if (request.kind() != Document::Kind::object) {
        add(key, compact(request, redaction));
        return key;
    }
    Document::Value command = request;
    add(key, request.find("command", command) ? compact(command, redaction) : std::string());
    Document::Value arguments = request;
    if (!request.find("arguments", arguments) || arguments.kind() != Document::Kind::array) {
        add(key,
            request.find("arguments", arguments) ? compact(arguments, redaction) : std::string());
        return key;
    }
    add(key, kAnArray);
    arguments.for_each_element([&](Document::Value item) { add(key, compact(item, redaction)); });
    return key;
}

Key command_key(std::string_view command, const Redaction& redaction) {
    Key key = kStart;
    add(key, redaction.active() ? redaction.redact_text(command) : std::string(command));
    return key;
}

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
    std::unique_ptr<Replay> replay(new Replay(std::move(folder), settings.redaction));
    replay->recorded_ = std::move(*recordings);
    return replay;
}

// cppcheck-suppress constParameter ; the sources' signature (the relay moves out of Asked)
std::optional<Reply> replayed(Connection& c, Asked& asked) {
    return c.host.replay->answer(c.host.settings, *asked.parts);
}

Replay::Recorded Replay::match_of(const RequestParts& request, const Redaction& redaction) {
    Recorded recorded;
    recorded.key = request_key(*request.root, redaction);
    recorded.command = command_key(request.command, redaction);
    if (request.arguments && request.arguments->size() > 0) {
        recorded.arguments = static_cast<std::uint32_t>(request.arguments->size());
        request.arguments->for_each_element([&](Document::Value item) {
            if (recorded.first_argument == 0) {
                recorded.first_argument = request_key(item, redaction).first | 1U;  // never 0
            }
        });
    }
    return recorded;
}

std::string Replay::near_miss(const std::vector<Recorded>& recordings, const RequestParts& request,
                              const Redaction& redaction) {
    const Recorded asked = match_of(request, redaction);
    const auto same = std::count_if(recordings.begin(), recordings.end(),
                                    [&](const Recorded& r) { return r.key == asked.key; });
    const std::string head = "no unused recording of " + named(request, redaction);
    if (same > 0) {
        return head + ": " +
               (same == 1 ? std::string("its one recording was")
                          : "all " + counted(static_cast<std::size_t>(same), "recording") +
                                " of it were") +
               " used";
    }
    // The nearest: the same first argument, then as many arguments, then unused, then earliest.
    const auto score = [&](const Recorded& r) {
        return (r.first_argument == asked.first_argument ? 4 : 0) +
               (r.arguments == asked.arguments ? 2 : 0) + (r.used ? 0 : 1);
    };
    const Recorded* nearest = nullptr;
    for (const Recorded& r : recordings) {
        if (r.command == asked.command && (nearest == nullptr || score(r) > score(*nearest))) {
            nearest = &r;
        }
    }
    if (nearest == nullptr) {
        return head + ": that command was never recorded";
    }
    return head + ": that command was recorded with other arguments, the nearest in " +
           name_of(*nearest);
}

void Replay::remember_unmatched(const RequestParts& request) {
    constexpr std::size_t kKept = 1000;
    if (unmatched_.size() < kKept) {
        unmatched_.push_back(named(request, redaction_));
    } else {
        ++unmatched_more_;
    }
}

std::optional<Reply> Replay::answer(const Settings& settings, const RequestParts& request) {
    const Key key = request_key(*request.root, redaction_);
    std::optional<Recorded> found;
    std::string why;
    {
        const std::lock_guard lock(mutex_);
        auto same = [&](const Recorded& r) { return r.key == key; };
        auto first = std::find_if(recorded_.begin(), recorded_.end(),
                                  [&](const Recorded& r) { return !r.used && same(r); });
        if (first == recorded_.end() && settings.given.has(Option::repeat_last)) {
            const auto last = std::find_if(recorded_.rbegin(), recorded_.rend(), same);
            first = last == recorded_.rend() ? recorded_.end() : std::prev(last.base());
        }
        if (first != recorded_.end()) {
            first->used = true;
            found = *first;
        } else {
            remember_unmatched(request);
            why = request.well_formed && !settings.given.has(Option::forward)
                      ? near_miss(recorded_, request, redaction_)
                      : std::string();
        }
    }
    if (found) {
        return reply_of(*found, request);
    }
    if (why.empty()) {
        return std::nullopt;  // the relay passes it on, or the echo says what is wrong with it
    }
    return noted_failure(request.request_id, Code::not_recorded, why);
}

Reply Replay::reply_of(const Recorded& recorded, const RequestParts& request) const {
    const std::string name = name_of(recorded);
    Descriptor file(
        ::openat(folder_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.is_open()) {
        return unreadable_file(request.request_id, "the recording " + name,
                               os_error_message(errno));
    }
    Reply reply;
    reply.slice = FileSlice{std::move(file), recorded.reply_offset, recorded.reply_length,
                            recorded.reply_digest, "the recording " + name};
    reply.echoed_id = echoed(request.request_id);
    return reply;
}

bool Replay::summary(std::vector<std::string>& lines) {
    const std::lock_guard lock(mutex_);
    const auto unused = static_cast<std::size_t>(std::count_if(
        recorded_.begin(), recorded_.end(), [](const Recorded& r) { return !r.used; }));
    const std::size_t unmatched = unmatched_.size() + unmatched_more_;
    lines.push_back("strict replay: " + counted(unused, "recording") + " never used, " +
                    counted(unmatched, "request") + " without a recording");
    for (const Recorded& r : recorded_) {
        if (!r.used) {
            lines.push_back("never used: " + name_of(r));
        }
    }
    std::transform(unmatched_.begin(), unmatched_.end(), std::back_inserter(lines),
                   [](const std::string& request) { return "no recording: " + request; });
    if (unmatched_more_ > 0) {
        lines.push_back("no recording: " + counted(unmatched_more_, "more request"));
    }
    return unused == 0 && unmatched == 0;
}

}  // namespace corvanelle::stub
