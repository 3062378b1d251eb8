// The fuzz input is everything the peer sends on the socket: the length field and the payload.
// The length checks, receive-exact and the reader run together, as in an exchange.
#include <sys/socket.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "exchange/exchange.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "shared/failure_texts.hpp"

using namespace corvanelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Inputs stay below the socket buffer (-max_len), so one send takes them whole.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::abort();
    }
    const Socket client(fds[0]);
    if (size > 0 && ::send(fds[1], data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    ::close(fds[1]);

    const auto reply = receive_reply(client);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size < 4) {
        if (reply || reply.error().message != texts::kFillIncomplete) {
            std::abort();
        }
        return 0;
    }
    const std::uint32_t length = (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) |
                                 (std::uint32_t{data[2]} << 8) | std::uint32_t{data[3]};
    std::string expected_failure;
    if (length == 0 || length > kFrameLimit) {
        expected_failure = texts::kFrameSizeInvalid;
    } else if (size - 4 < length) {
        expected_failure = texts::kFillIncomplete;
    } else {
        // Exactly the announced bytes are read; what follows them is never looked at.
        const auto direct = read_json_text(input.substr(4, length));
        if (direct.has_value() != reply.has_value() ||
            (direct && to_compact(*direct) != to_compact(*reply)) ||
            (!direct && direct.error().message != reply.error().message)) {
            std::abort();
        }
        return 0;
    }
    if (reply || reply.error().message != expected_failure) {
        std::abort();
    }
    return 0;
}
