// Text bound for a file descriptor, handed to write(2) in pieces so that a large document
// never has to exist as one string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "result.hpp"

namespace corvanelle {

// Writes all of `text` to `fd`, retrying interrupted and partial writes.
Status write_all(int fd, std::string_view text);

class TextOut {
  public:
    // Without a descriptor the text only accumulates; with one it is drained whenever
    // at least `chunk` bytes are waiting.
    static constexpr std::size_t kChunk = std::size_t{64} * 1024;

    TextOut() = default;
    explicit TextOut(int fd) : fd_(fd) { text_.reserve(kChunk + kChunk / 4); }

    std::string& text() { return text_; }

    // Called by the writers between values: drains a full buffer to the descriptor.
    void checkpoint() {
        if (fd_ >= 0 && text_.size() >= kChunk) {
            drain();
        }
    }

    // Drains whatever is left and reports the first write error, if any.
    Status finish();

  private:
    void drain();

    std::string text_;
    int fd_ = -1;
    Status status_;
};

}  // namespace corvanelle
