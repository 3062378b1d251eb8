// Any bytes as a reply payload: a value or a reader error, never a crash. Whatever is accepted
// reads back to an equal value from both of its text forms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "exchange/reader.hpp"
#include "report/failure.hpp"
#include "report/json_text.hpp"
#include "shared/utf8.hpp"

using namespace corvanelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const auto value = read_json_text(payload);
    if (!value) {
        // A reader error is an ordinary, valid-UTF-8 client failure that quotes no reply bytes.
        const std::string& message = value.error().message;
        if (!is_valid_utf8(message) || classify_failure(message).code != "CLIENT_FAILURE" ||
            message.find(" at line ") == std::string::npos) {
            std::abort();
        }
        return 0;
    }
    // Written text reads back to the same value: the same compact text, from either form.
    const std::string compact = to_compact(*value);
    for (const std::string& text : {compact, to_indented(*value)}) {
        const auto again = read_json_text(text);
        if (!again || to_compact(*again) != compact) {
            std::abort();
        }
    }
    return 0;
}
