// Text bound for a file descriptor, handed to write(2) in pieces so that a large document
// never has to exist as one string.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "shared/result.hpp"

namespace corvanelle {

// Writes all of `text` to `fd`, retrying interrupted and partial writes.
Status write_all(int fd, std::string_view text);

// A growing byte buffer that the writers fill through raw pointers. Without a descriptor the
// text only accumulates; with one it is drained whenever at least kChunk bytes are waiting,
// and long pieces go to the descriptor directly.
class TextOut {
  public:
    static constexpr std::size_t kChunk = std::size_t{64} * 1024;

    TextOut() = default;
    explicit TextOut(int fd) : fd_(fd) { grow(kChunk + kChunk / 4); }

    // Room for at least `n` more bytes; write them, then commit() the new end.
    char* room(std::size_t n) {
        if (capacity_ - size_ < n) {
            grow(size_ + n);
        }
        return data_.get() + size_;
    }
    void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
    // The end of the room room() gave, and where checkpoint() would drain the buffer (for
    // writers that keep their own cursor between commits).
    [[nodiscard]] char* room_end() const { return data_.get() + capacity_; }
    [[nodiscard]] char* drain_point() const {
        return data_.get() + (fd_ >= 0 ? std::min(kChunk, capacity_) : capacity_);
    }

    void put(char c) { *room(1) = c, ++size_; }
    void put(std::string_view text) {
        if (fd_ >= 0 && text.size() >= kChunk) {
            put_long(text);
            return;
        }
        std::memcpy(room(text.size()), text.data(), text.size());
        size_ += text.size();
    }

    // Called by the writers between values: drains a full buffer to the descriptor.
    void checkpoint() {
        if (fd_ >= 0 && size_ >= kChunk) {
            drain();
        }
    }

    // What has accumulated (without a descriptor).
    [[nodiscard]] std::string_view view() const { return {data_.get(), size_}; }

    // Drains whatever is left and reports the first write error, if any.
    Status finish();

  private:
    void grow(std::size_t needed);
    void drain();
    void put_long(std::string_view text);

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    int fd_ = -1;
    Status status_;
};

}  // namespace corvanelle
