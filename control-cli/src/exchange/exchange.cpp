#include "exchange/exchange.hpp"

#include <unistd.h>
#include <array>
#include <cstdlib>
#include <memory>
#include <span>

#include <nlohmann/json.hpp>

#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "utf8.hpp"

namespace corvanelle {
namespace {

using nlohmann::json;

// GCC and Clang both offer a 128-bit integer; __extension__ keeps -Wpedantic quiet about it.
__extension__ using uint128 = unsigned __int128;

std::array<std::byte, 4> encode_length(std::uint32_t length) {
    return {std::byte(length >> 24), std::byte(length >> 16), std::byte(length >> 8),
            std::byte(length)};
}

std::uint32_t decode_length(const std::array<std::byte, 4>& field) {
    return (std::to_integer<std::uint32_t>(field[0]) << 24) |
           (std::to_integer<std::uint32_t>(field[1]) << 16) |
           (std::to_integer<std::uint32_t>(field[2]) << 8) |
           std::to_integer<std::uint32_t>(field[3]);
}

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

json build_request(std::string_view command, const std::vector<std::string>& arguments) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    json request = json::object();
    request["protocolVersion"] = kProtocolVersion;
    request["requestId"] = format_request_id(static_cast<std::uint32_t>(::getpid()), now);
    request["command"] = command;
    request["arguments"] = arguments;
    return request;
}

Result<Document> transact(std::string_view command, const std::vector<std::string>& arguments,
                          const Timeouts& timeouts) {
    const json request = build_request(command, arguments);

    const char* path = std::getenv(kSocketVariable);
    if (path == nullptr || !is_valid_utf8(path)) {
        return fail("CORVANELLE_CONTROL_SOCKET is not configured");
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

    const std::string payload = to_compact(request);
    if (payload.size() > kFrameLimit) {
        return fail("control request exceeds the protocol frame limit");
    }
    const auto length_field = encode_length(static_cast<std::uint32_t>(payload.size()));
    if (auto sent = socket->send_all(length_field); !sent) {
        return forward_failure(sent);
    }
    if (auto sent = socket->send_all(std::as_bytes(std::span(payload))); !sent) {
        return forward_failure(sent);
    }

    return receive_reply(*socket);
}

Result<Document> receive_reply(const Socket& socket) {
    std::array<std::byte, 4> length_field{};
    if (auto received = socket.receive_exact(length_field); !received) {
        return forward_failure(received);
    }
    const std::uint32_t length = decode_length(length_field);
    if (length == 0 || length > kFrameLimit) {
        return fail("control response frame size is invalid");
    }
    // Allocated once, at the announced size, only after the size was checked.
    const auto buffer = std::make_unique_for_overwrite<std::byte[]>(length);
    if (auto received = socket.receive_exact({buffer.get(), length}); !received) {
        return forward_failure(received);
    }
    return read_reply({reinterpret_cast<const char*>(buffer.get()), length});
}

}  // namespace corvanelle
