// corvanelle-control-stub: a stand-in for the desktop application's control socket.
// It answers one request frame with one reply frame per connection, serves connections
// concurrently, logs each request as one compact JSON line, and can imitate a faulty host.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <nlohmann/json.hpp>

#include "exchange/exchange.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"

namespace {

using corvanelle::Socket;
using nlohmann::json;

constexpr const char* kUsage =
    "Usage: corvanelle-control-stub [options] SOCKET_PATH\n"
    "\n"
    "A stand-in for the Corvanelle desktop application: listens on the Unix socket\n"
    "SOCKET_PATH and answers each request frame with one reply frame. By default the reply is\n"
    "  {\"success\":true,\"requestId\":<id>,\"data\":{\"command\":...,\"arguments\":[...]},\n"
    "   \"error\":null,\"debugLogs\":[]}\n"
    "Every request received is logged as one compact JSON line.\n"
    "\n"
    "Options:\n"
    "  --replies DIR      answer a command from DIR/<command>.json when that file exists\n"
    "  --reply FILE       answer every request with the payload in FILE\n"
    "  --fail             answer with \"success\": false\n"
    "  --delay MS         wait MS milliseconds before replying\n"
    "  --close-after N    send only the first N bytes of the reply frame, then close\n"
    "  --raw FILE         send the bytes of FILE as they are (no length added), then close\n"
    "  --no-reply         read the request and never answer\n"
    "  --no-read          accept connections and never read from them\n"
    "  --hang-up          close each connection at once, without reading\n"
    "  --log FILE         append the request log to FILE instead of standard output\n"
    "  --quiet            keep no request log\n"
    "  -h, --help         show this text\n"
    "\n"
    "The socket file appears only once the host is listening, and is removed when the\n"
    "host ends on SIGINT or SIGTERM.\n";

struct Options {
    std::string socket_path;
    std::string replies_dir;
    std::optional<std::string> reply_payload;
    std::optional<std::string> raw_reply;
    bool fail = false;
    long delay_ms = 0;
    std::optional<std::size_t> close_after;
    bool no_reply = false;
    bool no_read = false;
    bool hang_up = false;
    std::string log_path;
    bool quiet = false;
};

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename Number>
bool parse_number(const std::string& text, Number& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

[[noreturn]] void usage_error(const std::string& message) {
    (void)std::fprintf(stderr, "corvanelle-control-stub: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

Options parse_options(int argc, char** argv) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                usage_error(arg + " needs a value");
            }
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            (void)std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--replies") {
            options.replies_dir = value();
        } else if (arg == "--reply" || arg == "--raw") {
            const std::string& path = value();
            auto content = read_file(path);
            if (!content) {
                usage_error("cannot read " + path);
            }
            (arg == "--reply" ? options.reply_payload : options.raw_reply) = std::move(*content);
        } else if (arg == "--fail") {
            options.fail = true;
        } else if (arg == "--delay") {
            if (!parse_number(value(), options.delay_ms) || options.delay_ms < 0) {
                usage_error("--delay takes a whole number of milliseconds");
            }
        } else if (arg == "--close-after") {
            std::size_t n = 0;
            if (!parse_number(value(), n)) {
                usage_error("--close-after takes a whole number of bytes");
            }
            options.close_after = n;
        } else if (arg == "--no-reply") {
            options.no_reply = true;
        } else if (arg == "--no-read") {
            options.no_read = true;
        } else if (arg == "--hang-up") {
            options.hang_up = true;
        } else if (arg == "--log") {
            options.log_path = value();
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            usage_error("unknown option " + arg);
        } else if (options.socket_path.empty()) {
            options.socket_path = arg;
        } else {
            usage_error("one socket path only");
        }
    }
    if (options.socket_path.empty()) {
        usage_error("a socket path is needed");
    }
    return options;
}

class RequestLog {
  public:
    explicit RequestLog(const Options& options) : quiet_(options.quiet) {
        if (!quiet_ && !options.log_path.empty()) {
            file_ = std::fopen(options.log_path.c_str(), "a");
            if (file_ == nullptr) {
                usage_error("cannot open " + options.log_path);
            }
        }
    }
    void write(const std::string& line) {
        if (quiet_) {
            return;
        }
        const std::lock_guard lock(mutex_);
        std::FILE* out = file_ != nullptr ? file_ : stdout;
        (void)std::fputs(line.c_str(), out);
        (void)std::fputc('\n', out);
        (void)std::fflush(out);
    }

  private:
    bool quiet_;
    std::FILE* file_ = nullptr;
    std::mutex mutex_;
};

std::string frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::string bytes{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 8), static_cast<char>(n)};
    return bytes + payload;
}

// The member `key` of the request if it has the kind asked for, else `fallback`: a request
// from a faulty client must not end the host.
json member(const json& request, const char* key, json::value_t kind, json fallback) {
    const auto found = request.find(key);
    if (found != request.end() && found->type() == kind) {
        return *found;
    }
    return fallback;
}

std::string reply_payload(const Options& options, const json& request) {
    const std::string command = member(request, "command", json::value_t::string, "");
    if (!options.replies_dir.empty() && command.find('/') == std::string::npos) {
        if (auto canned = read_file(options.replies_dir + "/" + command + ".json")) {
            return *canned;
        }
    }
    if (options.reply_payload) {
        return *options.reply_payload;
    }
    json reply = json::object();
    reply["requestId"] = member(request, "requestId", json::value_t::string, "");
    reply["debugLogs"] = json::array();
    if (options.fail) {
        reply["success"] = false;
        reply["data"] = nullptr;
        reply["error"] = {{"code", "STUB_FAILURE"},
                          {"message", "the stand-in host was told to fail"}};
    } else {
        reply["success"] = true;
        reply["data"] = {
            {"command", command},
            {"arguments", member(request, "arguments", json::value_t::array, json::array())}};
        reply["error"] = nullptr;
    }
    return corvanelle::to_compact(reply);
}

// Reads one request frame; returns its payload, or nothing when the client broke off.
std::optional<std::string> receive_request(const Socket& socket) {
    std::array<std::byte, 4> field{};
    if (!socket.receive_exact(field)) {
        return std::nullopt;
    }
    const std::uint32_t length = (std::to_integer<std::uint32_t>(field[0]) << 24) |
                                 (std::to_integer<std::uint32_t>(field[1]) << 16) |
                                 (std::to_integer<std::uint32_t>(field[2]) << 8) |
                                 std::to_integer<std::uint32_t>(field[3]);
    if (length == 0 || length > corvanelle::kFrameLimit) {
        return std::nullopt;
    }
    std::string payload(length, '\0');
    if (!socket.receive_exact(std::as_writable_bytes(std::span(payload)))) {
        return std::nullopt;
    }
    return payload;
}

void wait_for_close(const Socket& socket) {
    std::array<char, 4096> sink{};
    while (::recv(socket.fd(), sink.data(), sink.size(), 0) > 0) {
    }
}

void serve(Socket socket, const Options& options, RequestLog& log) {
    if (options.hang_up) {
        return;
    }
    if (options.no_read) {
        // Holds the connection, unread, until the host ends.
        for (;;) {
            ::pause();
        }
    }
    const auto payload = receive_request(socket);
    if (!payload) {
        log.write(R"({"stub":"connection closed before a whole request frame"})");
        return;
    }
    const json request = json::parse(*payload, nullptr, /*allow_exceptions=*/false);
    if (request.is_discarded() || !request.is_object()) {
        log.write(R"({"stub":"unreadable request"})");
        return;
    }
    log.write(corvanelle::to_compact(request));
    if (options.no_reply) {
        wait_for_close(socket);
        return;
    }
    if (options.delay_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.delay_ms));
    }
    std::string bytes =
        options.raw_reply ? *options.raw_reply : frame(reply_payload(options, request));
    if (options.close_after && *options.close_after < bytes.size()) {
        bytes.resize(*options.close_after);
    }
    (void)socket.send_all(std::as_bytes(std::span(bytes)));
}

int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int /*signal*/) {
    const char byte = 1;
    (void)!::write(signal_pipe[1], &byte, 1);
}

// Binds and listens under a temporary name, then renames the socket into place, so that the
// path exists only once connections to it are accepted.
Socket listen_on(const std::string& path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        usage_error(path + " already exists; remove it or choose another path");
    }
    auto socket = Socket::open_stream();
    if (!socket) {
        usage_error(socket.error().message);
    }
    std::string temporary = path + "." + std::to_string(::getpid());
    if (temporary.size() > corvanelle::max_socket_path_length()) {
        temporary = path;
    }
    if (path.size() > corvanelle::max_socket_path_length()) {
        usage_error("path must be shorter than SUN_LEN");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, temporary.data(), temporary.size());
    if (::bind(socket->fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket->fd(), SOMAXCONN) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        usage_error("cannot listen on " + path + ": " + corvanelle::os_error_message(error));
    }
    if (temporary != path && ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        usage_error("cannot listen on " + path + ": " + corvanelle::os_error_message(error));
    }
    return std::move(*socket);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    static RequestLog log(options);

    (void)std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signal_pipe) != 0) {
        usage_error(corvanelle::os_error_message(errno));
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    const Socket listener = listen_on(options.socket_path);
    (void)std::fprintf(stderr, "corvanelle-control-stub: listening on %s\n",
                       options.socket_path.c_str());

    for (;;) {
        std::array<pollfd, 2> fds{{{listener.fd(), POLLIN, 0}, {signal_pipe[0], POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = ::accept(listener.fd(), nullptr, nullptr);
            if (fd >= 0) {
                std::thread(serve, Socket(fd), std::cref(options), std::ref(log)).detach();
            }
        }
    }
    ::unlink(options.socket_path.c_str());
    (void)std::fflush(nullptr);
    // Connections still being served end with the process.
    std::_Exit(0);
}
