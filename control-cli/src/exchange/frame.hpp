// The wire format, the same both ways: a 4-byte big-endian payload length, then the payload.
// The client and the stand-in host both frame through here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/owned_text.hpp"
#include "shared/result.hpp"

namespace corvanelle {

class Socket;

// Largest payload of a frame, either way; the smallest is one byte.
inline constexpr std::size_t kFrameLimit = std::size_t{4} * 1024 * 1024;

using LengthField = std::array<std::byte, 4>;

constexpr LengthField encode_length(std::uint32_t length) {
    return {std::byte(length >> 24), std::byte(length >> 16), std::byte(length >> 8),
            std::byte(length)};
}

constexpr std::uint32_t decode_length(const LengthField& field) {
    return (std::to_integer<std::uint32_t>(field[0]) << 24) |
           (std::to_integer<std::uint32_t>(field[1]) << 16) |
           (std::to_integer<std::uint32_t>(field[2]) << 8) |
           std::to_integer<std::uint32_t>(field[3]);
}

constexpr bool valid_frame_length(std::size_t length) {
    return length >= 1 && length <= kFrameLimit;
}

// Sends the length, then the payload, each with send-all. The caller has checked the size.
Status send_frame(const Socket& socket, std::string_view payload);

// Receives one frame: the length (refused before any payload byte is read when it is 0 or
// above the limit), then exactly that many payload bytes, into one buffer allocated at the
// announced size.
Result<OwnedText> receive_frame(const Socket& socket);

}  // namespace corvanelle
