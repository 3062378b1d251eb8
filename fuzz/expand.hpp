// Fuzz inputs for the frame targets are what one peer sends on a socket. Frames up to the
// 4194304-byte limit and beyond would need inputs of megabytes, which the fuzzer mutates
// badly; so an input may instead describe a long frame in a few bytes:
//
//   0xFE, 4 length bytes (sent as they are), a shift byte, 3 bytes of payload size
//   (big-endian), then prefix, 0x00, body, 0x00, suffix
//
// which sends the length bytes, then the prefix, the body repeated to fill, and the suffix,
// the payload cut or filled to the size shifted right by (shift % 24) bits (at most twice the
// frame limit). With the shift a mutated size is small more often than not, so most runs stay
// fast while sizes at and beyond the limit are still reached. Any other input is sent as it
// is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvanelle::fuzz {

inline std::string expand(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    constexpr std::size_t kHeader = 9;
    if (size < kHeader || data[0] != 0xFE) {
        return std::string(input);
    }
    const std::size_t wanted =
        ((std::size_t{data[6]} << 16) | (std::size_t{data[7]} << 8) | std::size_t{data[8]}) >>
        (data[5] % 24U);
    const std::size_t payload_size = wanted < 2 * 4194304 ? wanted : 2 * 4194304;
    std::string_view rest = input.substr(kHeader);
    const auto take_part = [&rest] {
        const auto end = rest.find('\0');
        const std::string_view part = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        return part;
    };
    const std::string_view prefix = take_part();
    const std::string_view body = take_part();
    const std::string_view suffix = rest;
    std::string sent(input.substr(1, 4));
    sent.reserve(4 + payload_size);
    std::string payload(prefix);
    const std::size_t fill_to =
        payload_size > suffix.size() ? payload_size - suffix.size() : std::size_t{0};
    while (payload.size() < fill_to) {
        const std::string_view piece = body.empty() ? std::string_view(" ") : body;
        payload.append(piece.substr(0, fill_to - payload.size()));
    }
    payload.append(suffix);
    payload.resize(payload_size, ' ');
    return sent + payload;
}

}  // namespace corvanelle::fuzz
