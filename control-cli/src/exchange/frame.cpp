#include "exchange/frame.hpp"

#include <algorithm>
#include <cstring>
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

Result<OwnedText> receive_frame(const Socket& socket, PayloadBuffer buffer) {
    LengthField field{};
    if (auto received = socket.receive_exact(field); !received) {
        return forward_failure(received);
    }
    const std::uint32_t length = decode_length(field);
    if (!valid_frame_length(length)) {
        return fail(texts::kFrameSizeInvalid);
    }
    if (buffer == PayloadBuffer::at_announced_size) {
        OwnedText payload = OwnedText::uninitialised(length);
        if (auto received =
                socket.receive_exact(std::as_writable_bytes(std::span(payload.data.get(), length)));
            !received) {
            return forward_failure(received);
        }
        return payload;
    }
    // Four bytes must not cost the host 4 MiB: the buffer doubles only as bytes come in.
    constexpr std::size_t kFirstPiece = 4096;
    OwnedText payload = OwnedText::uninitialised(std::min<std::size_t>(length, kFirstPiece));
    std::size_t have = 0;
    std::size_t capacity = payload.size;
    while (have < length) {
        if (have == capacity) {
            const std::size_t grown = std::min<std::size_t>(length, capacity * 2);
            OwnedText bigger = OwnedText::uninitialised(grown);
            std::memcpy(bigger.data.get(), payload.data.get(), have);
            payload = std::move(bigger);
            capacity = grown;
        }
        const std::size_t piece = capacity - have;
        if (auto received = socket.receive_exact(
                std::as_writable_bytes(std::span(payload.data.get() + have, piece)));
            !received) {
            return forward_failure(received);
        }
        have += piece;
    }
    payload.size = length;
    return payload;
}

}  // namespace corvanelle
