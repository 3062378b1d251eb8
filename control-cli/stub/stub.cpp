// corvanelle-control-stub: a stand-in for the desktop application's control socket, for
// trying the client and scripts without the application. It answers one request frame with
// one reply frame per connection, serves connections concurrently within fixed bounds, logs
// each request as it arrived, and can imitate a faulty host.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "exchange/socket.hpp"
#include "host.hpp"
#include "report/output.hpp"
#include "shared/result.hpp"

namespace {

using corvanelle::Socket;
using corvanelle::stub::Options;
using corvanelle::stub::RequestLog;

constexpr const char* kProgram = "corvanelle-control-stub";

constexpr const char* kUsage =
    "Usage: corvanelle-control-stub [options] SOCKET_PATH\n"
    "\n"
    "A stand-in for the Corvanelle desktop application: listens on the Unix socket\n"
    "SOCKET_PATH and answers each request frame with one reply frame. By default the reply is\n"
    "  {\"success\":true,\"requestId\":<id>,\"data\":{\"command\":...,\"arguments\":[...]},\n"
    "   \"error\":null,\"debugLogs\":[]}\n"
    "Each request is logged as one line, exactly as it arrived; lines starting with \"! \"\n"
    "tell of frames that were refused or cut short.\n"
    "\n"
    "Options:\n"
    "  --replies=DIR          answer a command from the file DIR/<command>.json, if there is one\n"
    "  --reply=FILE           answer every request with the payload in FILE\n"
    "  --fail                 answer with \"success\": false\n"
    "  --delay=MS             wait MS milliseconds before replying\n"
    "  --close-after=N        send only the first N bytes of the reply frame, then close\n"
    "  --raw=FILE             send the bytes of FILE as they are (no length added), then close\n"
    "  --no-reply             read the request and never answer\n"
    "  --no-read              accept connections and never read from them\n"
    "  --hang-up              close each connection at once, without reading\n"
    "  --log=FILE             append the request log to FILE instead of standard output\n"
    "  --quiet                keep no request log\n"
    "  --timeout=SECONDS      give up on a client that sends or takes nothing for this long\n"
    "                         (default 30)\n"
    "  --max-connections=N    serve at most N connections at once; more wait to be accepted\n"
    "                         (default 256)\n"
    "  --ready-fd=N           write one line to descriptor N once listening, then close it\n"
    "  -h, --help             show this text\n"
    "\n"
    "The socket file appears only once the host is listening, and is removed when the host\n"
    "ends on SIGINT, SIGTERM or SIGHUP. A socket file that nobody listens on is replaced.\n";

[[noreturn]] void usage_error(const std::string& message) {
    (void)std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram,
                       message.c_str(), kProgram);
    std::exit(2);
}

[[noreturn]] void fatal(const std::string& message) {
    (void)std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::exit(2);
}

template <typename Number>
Number number_option(const char* name, const char* text, Number low, Number high) {
    Number value{};
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value < low || value > high) {
        usage_error(std::string("--") + name + " takes a whole number from " + std::to_string(low) +
                    " to " + std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

std::string read_whole_file(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fatal(std::string("cannot read ") + path + ": " + corvanelle::os_error_message(errno));
    }
    const Socket file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        fatal(std::string("cannot read ") + path + ": " + corvanelle::os_error_message(EISDIR));
    }
    auto content = corvanelle::stub::read_to_end(fd, std::string().max_size());
    if (!content) {
        fatal(std::string("cannot read ") + path + ": " + content.error().message);
    }
    return std::move(*content);
}

struct Setup {
    Options options;
    int log_fd = STDOUT_FILENO;
    int ready_fd = -1;
};

Setup parse_options(int argc, char** argv) {
    enum : int {
        replies = 256,
        reply,
        fail,
        delay,
        close_after,
        raw,
        no_reply,
        no_read,
        hang_up,
        log,
        quiet,
        timeout,
        max_connections,
        ready_fd,
    };
    static const std::array<option, 16> long_options{{
        {"replies", required_argument, nullptr, replies},
        {"reply", required_argument, nullptr, reply},
        {"fail", no_argument, nullptr, fail},
        {"delay", required_argument, nullptr, delay},
        {"close-after", required_argument, nullptr, close_after},
        {"raw", required_argument, nullptr, raw},
        {"no-reply", no_argument, nullptr, no_reply},
        {"no-read", no_argument, nullptr, no_read},
        {"hang-up", no_argument, nullptr, hang_up},
        {"log", required_argument, nullptr, log},
        {"quiet", no_argument, nullptr, quiet},
        {"timeout", required_argument, nullptr, timeout},
        {"max-connections", required_argument, nullptr, max_connections},
        {"ready-fd", required_argument, nullptr, ready_fd},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    }};
    Setup setup;
    Options& o = setup.options;
    const char* log_path = nullptr;
    bool keep_no_log = false;
    for (;;) {
        // Our own messages, in one line each, naming the program rather than its path.
        opterr = 0;
        const int c = ::getopt_long(argc, argv, ":h", long_options.data(), nullptr);
        if (c == -1) {
            break;
        }
        switch (c) {
            case 'h':
                (void)std::fputs(kUsage, stdout);
                std::exit(0);
            case replies:
                o.replies_dir = ::open(optarg, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (o.replies_dir < 0) {
                    fatal(std::string("cannot open the replies folder ") + optarg + ": " +
                          corvanelle::os_error_message(errno));
                }
                break;
            case reply:
                o.reply_payload = read_whole_file(optarg);
                break;
            case raw:
                o.raw_reply = read_whole_file(optarg);
                break;
            case fail:
                o.fail = true;
                break;
            case delay:
                o.delay = std::chrono::milliseconds(number_option("delay", optarg, 0L, 86400000L));
                break;
            case close_after:
                o.close_after =
                    number_option<std::size_t>("close-after", optarg, 0, std::size_t{1} << 32);
                break;
            case no_reply:
                o.no_reply = true;
                break;
            case no_read:
                o.no_read = true;
                break;
            case hang_up:
                o.hang_up = true;
                break;
            case log:
                log_path = optarg;
                break;
            case quiet:
                keep_no_log = true;
                break;
            case timeout:
                o.timeout = std::chrono::seconds(number_option("timeout", optarg, 1L, 86400L));
                break;
            case max_connections:
                o.max_connections = number_option<std::size_t>("max-connections", optarg, 1, 65536);
                break;
            case ready_fd:
                setup.ready_fd = number_option("ready-fd", optarg, 0, 65535);
                if (::fcntl(setup.ready_fd, F_GETFD) < 0) {
                    usage_error("--ready-fd " + std::to_string(setup.ready_fd) +
                                " is not an open descriptor");
                }
                break;
            case ':':
                usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                usage_error(std::string("unrecognized option '") + argv[optind - 1] + "'");
        }
    }
    if (optind == argc) {
        usage_error("a socket path is needed");
    }
    if (optind + 1 < argc) {
        usage_error("one socket path only");
    }
    o.socket_path = argv[optind];
    if (keep_no_log) {
        setup.log_fd = -1;
    } else if (log_path != nullptr) {
        setup.log_fd = ::open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (setup.log_fd < 0) {
            fatal(std::string("cannot open the log ") + log_path + ": " +
                  corvanelle::os_error_message(errno));
        }
    }
    return setup;
}

int signal_pipe[2] = {-1, -1};
int wake_pipe[2] = {-1, -1};

extern "C" void on_signal(int /*signal*/) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void make_pipe(int (&ends)[2]) {
    if (::pipe(ends) != 0) {
        fatal(corvanelle::os_error_message(errno));
    }
    for (const int fd : ends) {
        (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
        (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
}

// A socket file left by a host that is gone is replaced; a live one, or anything that is not
// a socket, is refused.
void clear_the_way(const std::string& path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) != 0) {
        return;
    }
    if (!S_ISSOCK(existing.st_mode)) {
        fatal(path + " already exists and is not a socket");
    }
    auto probe = Socket::open_stream();
    if (!probe) {
        fatal(probe.error().message);
    }
    const auto connected = probe->connect_to(path);
    if (connected) {
        fatal(path + " is already in use by a running host");
    }
    if (connected.error().message != corvanelle::os_error_message(ECONNREFUSED)) {
        fatal("cannot use " + path + ": " + connected.error().message);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        fatal("cannot replace the stale socket " + path + ": " +
              corvanelle::os_error_message(errno));
    }
}

// Binds and listens under a short temporary name in the socket's own folder, then renames it
// into place, so that the path exists only once connections to it are accepted, whatever its
// length. The folder is entered for this, so that only the short name has to fit the address.
Socket listen_on(const std::string& path, std::size_t backlog) {
    if (path.empty() || path.size() > corvanelle::max_socket_path_length()) {
        fatal("the socket path must have 1 to " +
              std::to_string(corvanelle::max_socket_path_length()) + " bytes");
    }
    clear_the_way(path);
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        fatal("the socket path " + path + " names a folder");
    }
    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || ::chdir(folder.c_str()) != 0) {
        fatal("cannot enter the folder of " + path + ": " + corvanelle::os_error_message(errno));
    }
    const std::string temporary = ".stub-" + std::to_string(::getpid());
    auto socket = Socket::open_stream();
    std::string failure;
    const auto address = corvanelle::socket_address(temporary);
    if (!socket || !address) {
        failure = socket ? address.error().message : socket.error().message;
    } else {
        (void)::unlink(temporary.c_str());
        if (::bind(socket->fd(), address->get(), address->length) != 0 ||
            ::listen(socket->fd(), static_cast<int>(backlog)) != 0 ||
            ::rename(temporary.c_str(), name.c_str()) != 0) {
            failure = corvanelle::os_error_message(errno);
            (void)::unlink(temporary.c_str());
        }
    }
    const bool back = ::fchdir(here) == 0;
    ::close(here);
    if (!failure.empty()) {
        fatal("cannot listen on " + path + ": " + failure);
    }
    if (!back) {
        fatal("cannot return to the starting folder: " + corvanelle::os_error_message(errno));
    }
    return std::move(*socket);
}

std::atomic<std::size_t> active_connections{0};

void serve_and_wake(int fd, const Options* options, RequestLog* log) {
    {
        const Socket socket(fd);
        corvanelle::stub::serve_connection(socket, *options, *log);
    }
    active_connections.fetch_sub(1);
    const char byte = 1;
    (void)!::write(wake_pipe[1], &byte, 1);
}

void drain(int fd) {
    std::array<char, 256> sink{};
    while (::read(fd, sink.data(), sink.size()) > 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    Setup setup = parse_options(argc, argv);
    static const Options options = std::move(setup.options);
    static RequestLog log(setup.log_fd);

    (void)std::signal(SIGPIPE, SIG_IGN);
    make_pipe(signal_pipe);
    make_pipe(wake_pipe);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }

    const Socket listener = listen_on(options.socket_path, SOMAXCONN);
    (void)std::fprintf(stderr, "%s: listening on %s\n", kProgram, options.socket_path.c_str());
    if (setup.ready_fd >= 0) {
        (void)corvanelle::write_all(setup.ready_fd, "listening on " + options.socket_path + "\n");
        ::close(setup.ready_fd);
    }

    // Back off for this long when the system has no descriptor left for a connection.
    constexpr int kBackOffMs = 100;
    bool backing_off = false;
    for (;;) {
        // At the cap, or out of descriptors, connections wait in the listen queue.
        const bool accepting = !backing_off && active_connections.load() < options.max_connections;
        std::array<pollfd, 3> fds{{{signal_pipe[0], POLLIN, 0},
                                   {wake_pipe[0], POLLIN, 0},
                                   {listener.fd(), accepting ? short{POLLIN} : short{0}, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), backing_off ? kBackOffMs : -1);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        backing_off = false;
        if (fds[1].revents != 0) {
            drain(wake_pipe[0]);
        }
        if (!accepting || (fds[2].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept(listener.fd(), nullptr, nullptr);
        if (fd < 0) {
            backing_off = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            continue;
        }
        (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
        active_connections.fetch_add(1);
        try {
            std::thread(serve_and_wake, fd, &options, &log).detach();
        } catch (const std::system_error&) {
            // No thread to be had (a process or memory limit): this connection is closed
            // unanswered, and the host goes on with the others.
            active_connections.fetch_sub(1);
            ::close(fd);
            log.write("! no thread for a connection; it was closed unanswered");
        }
    }
    ::unlink(options.socket_path.c_str());
    // Connections still being served end with the process.
    std::_Exit(0);
}
