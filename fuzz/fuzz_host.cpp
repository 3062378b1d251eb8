// Any bytes from a client, as the stand-in host receives them on one connection: framing,
// JSON, and command words against a replies folder. The host never crashes, and whatever it
// sends back is one whole frame holding JSON.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "host.hpp"
#include "shared/failure_texts.hpp"

using namespace corvanelle;

namespace {

// A replies folder with a canned reply and a subfolder, made once.
int replies_folder() {
    static const int fd = [] {
        char path[] = "/tmp/corvanelle-fuzz-host.XXXXXX";
        if (::mkdtemp(path) == nullptr) {
            std::abort();
        }
        const std::string folder = path;
        const int file = ::open((folder + "/click.json").c_str(), O_WRONLY | O_CREAT, 0644);
        (void)!::write(file, "{\"success\":true}", 16);
        ::close(file);
        (void)::mkdir((folder + "/sub.json").c_str(), 0755);
        return ::open(path, O_RDONLY | O_DIRECTORY);
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stub::Options options;
    options.replies_dir = replies_folder();
    options.timeout = std::chrono::milliseconds(1000);
    // Inputs stay below the socket buffer (-max_len), so one send takes them whole.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::abort();
    }
    if (size > 0 && ::send(fds[1], data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    ::shutdown(fds[1], SHUT_WR);
    {
        const Socket host(fds[0]);
        stub::RequestLog log;
        stub::serve_connection(host, options, log, nullptr);
    }
    const Socket client(fds[1]);
    auto reply = receive_frame(client);
    if (reply) {
        if (!read_json_text(reply->view())) {
            std::abort();
        }
    } else if (reply.error().message != texts::kFillIncomplete &&
               reply.error().message != os_error_message(ECONNRESET)) {
        // Nothing at all (the host closed, with or without unread request bytes), or one
        // whole frame: never a bad length or half a frame.
        std::abort();
    }
    return 0;
}
