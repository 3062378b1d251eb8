// The loop under every blocking transfer of the program: socket sends and receives, and
// writes to standard output and standard error.
#pragma once

#include <sys/types.h>
#include <cerrno>
#include <cstddef>
#include <string_view>

#include "shared/result.hpp"

namespace corvanelle {

// Calls transfer(pointer, count) until all `size` bytes are done. An interrupted call
// (EINTR) is repeated; a call that moves no byte fails with `none_moved`; any other error
// fails with the system's description.
template <typename Byte, typename Transfer>
Status transfer_all(Byte* data, std::size_t size, Transfer transfer, std::string_view none_moved) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = transfer(data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(os_error_message(errno));
        }
        if (n == 0) {
            return fail(none_moved);
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace corvanelle
