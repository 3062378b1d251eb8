// Any bytes from a client, as the stand-in host receives them on one connection: framing,
// JSON, and command words against a replies folder, with frames up to the limit and beyond
// (see expand.hpp). The host never crashes, and whatever it sends back is one whole frame of
// a valid length holding JSON.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "connection.hpp"
#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "expand.hpp"
#include "shared/failure_texts.hpp"

using namespace corvanelle;

namespace {

// The host's settings, with a replies folder holding a canned reply and a subfolder, made once.
const stub::Settings& settings() {
    static const stub::Settings made = [] {
        char path[] = "/tmp/corvanelle-fuzz-host.XXXXXX";
        if (::mkdtemp(path) == nullptr) {
            std::abort();
        }
        const std::string folder = path;
        const int file = ::open((folder + "/click.json").c_str(), O_WRONLY | O_CREAT, 0644);
        (void)!::write(file, "{\"success\":true}", 16);
        ::close(file);
        (void)::mkdir((folder + "/sub.json").c_str(), 0755);
        stub::Settings s;
        s.given.add(stub::Option::replies);
        s.replies_folder = Descriptor(::open(path, O_RDONLY | O_DIRECTORY));
        s.timeout = std::chrono::milliseconds(1000);
        return s;
    }();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string sent = fuzz::expand(data, size);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::abort();
    }
    // The client's end sends from a thread of its own and reads here, while the host serves
    // its end: frames of any size flow both ways whatever the socket buffers hold.
    std::thread client_sends([&] {
        std::size_t done = 0;
        while (done < sent.size()) {
            const ssize_t n = ::send(fds[1], sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                break;  // the host closed without reading it all
            }
            done += static_cast<std::size_t>(n);
        }
        ::shutdown(fds[1], SHUT_WR);
    });
    std::thread host_serves([&] {
        stub::RequestLog log;
        const stub::Host host{settings(), log, nullptr};
        stub::serve_connection(host, Socket(Descriptor(fds[0])));
    });
    std::string reply;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::recv(fds[1], buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    const bool reset = n < 0 && errno == ECONNRESET;  // closed with request bytes unread
    host_serves.join();
    client_sends.join();
    ::close(fds[1]);
    if (reset) {
        return 0;
    }
    // Nothing at all (the host closed, with or without unread request bytes), or one whole
    // frame of a valid length holding JSON: never a bad length or half a frame.
    if (reply.empty()) {
        return 0;
    }
    if (reply.size() < 4) {
        std::abort();
    }
    LengthField field{};
    std::memcpy(field.data(), reply.data(), 4);
    const std::size_t length = decode_length(field);
    if (!valid_frame_length(length) || reply.size() != 4 + length ||
        !read_json_text(std::string_view(reply).substr(4))) {
        std::abort();
    }
    return 0;
}
