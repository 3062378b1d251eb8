// What a JSON number's text stands for as a double: the reader converts with it, and a document
// that kept a number as its text converts with it when the value is asked for.
#pragma once

#include <optional>
#include <string_view>

namespace corvanelle {

// The double a number's text stands for, read exactly; nothing when its magnitude is too
// large for a double or the conversion does not take the whole text. Values too small for
// one read as zero or a subnormal, as the text says.
std::optional<double> exact_double(std::string_view text);

}  // namespace corvanelle
