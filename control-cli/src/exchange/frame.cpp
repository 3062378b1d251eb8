#include "exchange/frame.hpp"

#include <new>
#include <span>

#include "exchange/socket.hpp"
#include "shared/failure_texts.hpp"

namespace corvanelle {

Status send_frame(const Socket& socket, std::string_view payload) {
    const LengthField length = encode_length(static_cast<std::uint32_t>(payload.size()));
    if (auto sent = socket.send_all(length); !sent) {
        return sent;
    }
    return socket.send_all(std::as_bytes(std::span(payload.data(), payload.size())));
}

Result<OwnedText> receive_frame(const Socket& socket) {
    LengthField field{};
    if (auto received = socket.receive_exact(field); !received) {
        return forward_failure(received);
    }
    const std::uint32_t length = decode_length(field);
    if (!valid_frame_length(length)) {
        return fail(texts::kFrameSizeInvalid);
    }
    OwnedText payload;
    try {
        payload = OwnedText::uninitialised(length);
    } catch (const std::bad_alloc&) {
        return fail(texts::kReplyOutOfMemory);
    }
    if (auto received =
            socket.receive_exact(std::as_writable_bytes(std::span(payload.data.get(), length)));
        !received) {
        return forward_failure(received);
    }
    return payload;
}

}  // namespace corvanelle
