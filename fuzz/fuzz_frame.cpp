// The fuzz input is everything the peer sends on the socket: the length field and the payload,
// or a description of a long frame (see expand.hpp).
// The length checks, receive-exact and the reader run together, as in an exchange.
#include <sys/socket.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "exchange/exchange.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "expand.hpp"
#include "report/json_text.hpp"
#include "shared/failure_texts.hpp"

using namespace corvanelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string sent = fuzz::expand(data, size);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::abort();
    }
    // The peer sends from a thread of its own, so that frames of any size fit.
    std::thread peer_sends([&] {
        std::size_t done = 0;
        while (done < sent.size()) {
            const ssize_t n = ::send(fds[1], sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                break;  // the client stopped reading
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    Result<Document> reply = fail("");
    {
        const Socket client{Descriptor(fds[0])};
        reply = receive_reply(client);
    }
    peer_sends.join();

    const std::string_view input(sent);
    if (input.size() < 4) {
        if (reply || reply.error().message != texts::kFillIncomplete) {
            std::abort();
        }
        return 0;
    }
    const std::uint32_t length = (std::uint32_t{std::uint8_t(input[0])} << 24) |
                                 (std::uint32_t{std::uint8_t(input[1])} << 16) |
                                 (std::uint32_t{std::uint8_t(input[2])} << 8) |
                                 std::uint32_t{std::uint8_t(input[3])};
    std::string expected_failure;
    if (length == 0 || length > kFrameLimit) {
        expected_failure = texts::kFrameSizeInvalid;
    } else if (input.size() - 4 < length) {
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
