#include "shared/result.hpp"

#include <cstring>

namespace corvanelle {

std::string os_error_message(int error_number) {
    // The process never sets a locale, so these are the system's untranslated texts.
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) +
           ")";
}

}  // namespace corvanelle
