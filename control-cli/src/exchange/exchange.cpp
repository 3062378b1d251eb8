// The exchange folder: one request and one reply over the control socket. exchange.cpp runs
// the steps in order; frame.cpp is the wire format, socket.cpp the only platform-dependent
// code, reader.cpp the only code that knows the JSON library.
#include "exchange/exchange.hpp"

#include <unistd.h>
#include <array>
#include <cstdlib>
#include <new>
#include <optional>

#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "shared/failure_texts.hpp"
#include "shared/utf8.hpp"
#include "version.hpp"

namespace corvanelle {
namespace {

// GCC and Clang both offer a 128-bit integer; __extension__ keeps -Wpedantic quiet about it.
__extension__ using uint128 = unsigned __int128;

std::string to_decimal(uint128 value) {
    std::array<char, 40> digits{};
    std::size_t at = digits.size();
    do {
        digits[--at] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return {digits.data() + at, digits.size() - at};
}

}  // namespace

std::string format_request_id(std::uint32_t pid, const timespec& now) {
    // Summed in 128 bits: a 64-bit count of nanoseconds would wrap in the year 2262.
    uint128 nanoseconds = 0;
    if (now.tv_sec >= 0) {
        nanoseconds =
            static_cast<uint128>(now.tv_sec) * 1'000'000'000U + static_cast<uint128>(now.tv_nsec);
    }
    return std::to_string(pid) + "-" + to_decimal(nanoseconds);
}

Document build_request(std::string_view command, const std::vector<std::string>& arguments) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    DocumentBuilder request;
    request.start_object();
    request.key("protocolVersion");
    request.unsigned_integer(kProtocolVersion);
    request.key("requestId");
    request.string(format_request_id(static_cast<std::uint32_t>(::getpid()), now));
    request.key("command");
    request.string(command);
    request.key("arguments");
    request.start_array();
    for (const std::string& argument : arguments) {
        request.string(argument);
    }
    request.end();
    request.end();
    return request.take();
}

Result<Document> transact(std::string_view command, const std::vector<std::string>& arguments,
                          const Timeouts& timeouts) {
    // The request is made before anything else and encoded once connected; both are let go as
    // soon as they are sent, so that they do not share memory with the reply.
    std::optional<Document> request;
    try {
        request = build_request(command, arguments);
    } catch (const std::bad_alloc&) {
        return fail(texts::kRequestOutOfMemory);
    }

    const char* path = std::getenv(kSocketVariable);
    if (path == nullptr || !is_valid_utf8(path)) {
        return fail(texts::kSocketNotConfigured);
    }

    auto socket = Socket::open_stream();
    if (!socket) {
        return forward_failure(socket);
    }
    if (auto connected = socket->connect_to(path); !connected) {
        return forward_failure(connected);
    }
    if (auto set = socket->set_timeouts(timeouts.receive, timeouts.send); !set) {
        return forward_failure(set);
    }

    std::string payload;
    try {
        payload = to_compact(*request);
    } catch (const std::bad_alloc&) {
        return fail(texts::kRequestOutOfMemory);
    }
    request.reset();
    if (payload.size() > kFrameLimit) {
        return fail(texts::kRequestTooLarge);
    }
    if (auto sent = send_frame(*socket, payload); !sent) {
        return forward_failure(sent);
    }
    std::string().swap(payload);
    return receive_reply(*socket);
}

Result<Document> receive_reply(const Socket& socket) {
    // Allocated once, at the announced size, only after the size was checked.
    auto payload = receive_frame(socket);
    if (!payload) {
        return forward_failure(payload);
    }
    return read_json_text(std::move(*payload));
}

}  // namespace corvanelle
