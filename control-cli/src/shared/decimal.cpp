#include "shared/decimal.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace corvanelle {

std::optional<double> exact_double(std::string_view text) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    double value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && stop == text.data() + text.size()) {
        return value;
    }
    // Out of range, or not one whole number: strtod tells an overflow from an underflow.
#endif
    // Where the library has no from_chars for doubles: strtod, which needs its own zero byte.
    // The process never sets a locale, so the decimal point is ".". Numbers are short; a
    // long one is copied to the heap.
    std::array<char, 64> buffer{};
    std::string long_copy;
    const char* terminated = buffer.data();
    if (text.size() < buffer.size()) {
        std::copy(text.begin(), text.end(), buffer.begin());
    } else {
        long_copy.assign(text);
        terminated = long_copy.c_str();
    }
    char* end = nullptr;
    const double value_read = std::strtod(terminated, &end);
    if (std::isinf(value_read) || end != terminated + text.size()) {
        return std::nullopt;
    }
    return value_read;
}

}  // namespace corvanelle
