#include "reply.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <numeric>

#include "exchange/frame.hpp"
#include "report/json_text.hpp"

namespace corvanelle::stub {
namespace {

// A failure reply is small: it echoes a request id of at most this many bytes, and a message
// that names at most a file name, a request cut short and a system error.
constexpr std::size_t kEchoedIdLimit = 4096;
constexpr std::size_t kFailureReplyCost = 6 * kEchoedIdLimit + 4096;

struct CodeName {
    Code code;
    // cppcheck-suppress unusedStructMember ; read by code_name()
    std::string_view name;
};

// Every code the host answers with, once.
constexpr std::array kCodes{
    CodeName{Code::bad_request, "STUB_BAD_REQUEST"},
    CodeName{Code::failure, "STUB_FAILURE"},
    CodeName{Code::reply_too_large, "STUB_REPLY_TOO_LARGE"},
    CodeName{Code::reply_empty, "STUB_REPLY_EMPTY"},
    CodeName{Code::reply_unreadable, "STUB_REPLY_UNREADABLE"},
    CodeName{Code::not_recorded, "STUB_NOT_RECORDED"},
    CodeName{Code::application_unreachable, "STUB_APPLICATION_UNREACHABLE"},
    CodeName{Code::application_timeout, "STUB_APPLICATION_TIMEOUT"},
    CodeName{Code::application_broken, "STUB_APPLICATION_BROKEN"},
    CodeName{Code::memory_budget, "STUB_MEMORY_BUDGET"},
};

// `wanted` bytes of the file from `offset` (fewer at its end); the error that stopped it.
int read_at(int fd, OwnedText& into, std::size_t wanted, std::size_t offset) {
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < wanted && ((n = ::pread(fd, into.data.get() + got, wanted - got,
                                         static_cast<off_t>(offset + got))) > 0 ||
                            (n < 0 && errno == EINTR))) {
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    into.size = got;
    return n < 0 ? errno : 0;
}

}  // namespace

std::string_view code_name(Code code) {
    return std::find_if(kCodes.begin(), kCodes.end(),
                        [code](const CodeName& row) { return row.code == code; })
        ->name;  // every code has a row
}

std::string_view echoed(std::string_view request_id) {
    return request_id.size() <= kEchoedIdLimit ? request_id : std::string_view();
}

// Keys in the order the compact writer puts them.
Reply failure_reply(std::string_view request_id, Code code, std::string_view message) {
    Reply reply;
    TextOut& out = reply.made;
    (void)out.room(kFailureReplyCost);
    out.put(R"({"data":null,"debugLogs":[],"error":{"code":)");
    append_string(code_name(code), out);
    out.put(R"(,"message":)");
    append_string(message, out);
    out.put(R"(},"requestId":)");
    append_string(echoed(request_id), out);
    out.put(R"(,"success":false})");
    return reply;
}

Reply noted_failure(std::string_view request_id, Code code, const std::string& message) {
    Reply reply = failure_reply(request_id, code, message);
    reply.note = message;
    return reply;
}

Reply unreadable_file(std::string_view request_id, const std::string& what,
                      const std::string& why) {
    return noted_failure(request_id, Code::reply_unreadable, what + " cannot be read: " + why);
}

Reply too_large(std::string_view request_id) {
    return failure_reply(request_id, Code::reply_too_large,
                         "the reply would be longer than the frame limit of " +
                             std::to_string(kFrameLimit) + " bytes");
}

Reply empty_file(std::string_view request_id) {
    return failure_reply(request_id, Code::reply_empty, "the reply file for this command is empty");
}

std::uint64_t slice_digest(std::string_view bytes) {
    return std::accumulate(bytes.begin(), bytes.end(), std::uint64_t{0xCBF29CE484222325U},
                           [](std::uint64_t digest, char c) {
                               return (digest ^ static_cast<unsigned char>(c)) * 0x100000001B3U;
                           });
}

void read_slice(Reply& reply) {
    FileSlice slice = std::move(*reply.slice);
    reply.slice.reset();
    // One byte more than measured shows a file that grew since it was measured.
    OwnedText read = OwnedText::uninitialised(slice.size + 1);
    const int error = read_at(slice.file.get(), read, slice.size + 1, slice.offset);
    const bool recorded = slice.digest.has_value();
    const std::size_t got = read.size;
    if (recorded) {
        read.size = std::min(got, slice.size);  // a recording's reply is followed by more
    }
    if (error == 0 && got > 0 && read.size <= slice.size &&
        (!recorded || (read.size == slice.size && slice_digest(read.view()) == *slice.digest))) {
        reply.owned = std::move(read);
        return;
    }
    if (error != 0 || recorded) {
        reply = unreadable_file(reply.echoed_id, slice.what,
                                error != 0 ? os_error_message(error)
                                           : std::string("it changed since the host started"));
    } else {
        reply = got == 0 ? empty_file(reply.echoed_id) : too_large(reply.echoed_id);
    }
}

}  // namespace corvanelle::stub
