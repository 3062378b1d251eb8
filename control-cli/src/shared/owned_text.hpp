// Plain bytes owned by one buffer, such as a received frame payload: what the wire code hands
// on, with no idea of what the bytes mean.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace corvanelle {

struct OwnedText {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;

    [[nodiscard]] std::string_view view() const { return {data.get(), size}; }

    // Room for `size` bytes, left uninitialised: they are about to be overwritten, and a page
    // that is never written is never touched.
    static OwnedText uninitialised(std::size_t size) {
        OwnedText text;
        text.data.reset(new char[size == 0 ? 1 : size]);
        text.size = size;
        return text;
    }

    static OwnedText copy_of(std::string_view text) {
        OwnedText owned = uninitialised(text.size());
        if (!text.empty()) {
            std::memcpy(owned.data.get(), text.data(), text.size());
        }
        return owned;
    }
};

}  // namespace corvanelle
