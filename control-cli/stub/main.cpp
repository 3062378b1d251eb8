// corvanelle-control-stub: a stand-in for the desktop application's control socket, for
// trying the client and scripts without the application. It answers one request frame with
// one reply frame per connection, serves connections concurrently within fixed bounds, logs
// each request as it arrived, and can imitate a faulty host.
//
// One thread per connection, at most --max-connections of them: each connection's deadlines
// are then plain polls with the time left, the memory budget is one counter that threads wait
// on, and the code of one connection reads straight through. The listening thread only
// accepts, and only while a slot is free.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "exchange/frame.hpp"
#include "exchange/socket.hpp"
#include "host.hpp"
#include "report/output.hpp"
#include "shared/result.hpp"
#include "version.hpp"

namespace {

using corvanelle::fail;
using corvanelle::os_error_message;
using corvanelle::Result;
using corvanelle::Socket;
using corvanelle::Status;
using corvanelle::stub::MemoryBudget;
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
    "tell of frames that were refused or cut short, and of log lines that were dropped.\n"
    "\n"
    "Replies (--reply, --replies with --fail, and --raw exclude each other; --no-reply,\n"
    "--no-read and --hang-up exclude every other reply option):\n"
    "  --replies=DIR          answer a command from the file DIR/<command>.json, if there is one\n"
    "  --reply=FILE           answer every request with the payload in FILE\n"
    "  --fail                 answer with \"success\": false\n"
    "  --raw=FILE             send the bytes of FILE as they are (no length added), then close\n"
    "  --close-after=N        send only the first N bytes of the reply, then close\n"
    "  --no-reply             read the request and never answer\n"
    "  --no-read              accept connections and never read from them\n"
    "  --hang-up              close each connection at once, without reading\n"
    "  --delay=MS             wait MS milliseconds before replying\n"
    "\n"
    "Bounds and log:\n"
    "  --timeout=SECONDS      the whole time to receive one request, and again to send one\n"
    "                         reply (default 30)\n"
    "  --max-connections=N    serve at most N connections at once; more wait to be accepted\n"
    "                         (default 256)\n"
    "  --memory-budget=MIB    what all connections may hold together (default 256)\n"
    "  --log=FILE             append the request log to FILE instead of standard output\n"
    "  --quiet                keep no request log\n"
    "  --ready-fd=N           write one line to descriptor N once listening, then close it\n"
    "  -h, --help             show this text\n"
    "  --version              show the program's name and version\n"
    "\n"
    "The socket file appears only once the host is listening, and is removed when the host\n"
    "ends on SIGINT, SIGTERM or SIGHUP. A socket file that nobody listens on is replaced.\n";

// A set-up failure: the one line to print, and the exit status.
struct SetupFailure {
    std::string message;
    bool usage = false;  // followed by a pointer to --help
};

template <typename T>
using Setup = std::variant<T, SetupFailure>;

SetupFailure usage_error(std::string message) {
    return {std::move(message), true};
}
SetupFailure setup_error(std::string message) {
    return {std::move(message), false};
}

template <typename Number>
Setup<Number> number_option(const char* name, const char* text, Number low, Number high) {
    Number value{};
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value < low || value > high) {
        return usage_error(std::string("--") + name + " takes a whole number from " +
                           std::to_string(low) + " to " + std::to_string(high) + ", not '" + text +
                           "'");
    }
    return value;
}

// A reply file, which must make a frame: 1 to 4194304 bytes.
Setup<std::string> read_reply_file(const char* path, bool any_size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return setup_error(std::string("cannot read ") + path + ": " + os_error_message(errno));
    }
    const Socket file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        return setup_error(std::string("cannot read ") + path + ": " + os_error_message(EISDIR));
    }
    // --raw sends broken frames on purpose, of any length up to twice the limit (it is held
    // in memory all the same).
    const std::size_t limit = any_size ? 2 * corvanelle::kFrameLimit : corvanelle::kFrameLimit;
    auto content = corvanelle::stub::read_to_end(fd, limit);
    if (!content) {
        return setup_error(std::string("cannot use ") + path + ": " + content.error().message);
    }
    if (!any_size && content->empty()) {
        return setup_error(std::string("cannot use ") + path +
                           ": a reply must have 1 to 4194304 bytes, and it is empty");
    }
    return std::move(*content);
}

struct Configuration {
    Options options;
    const char* log_path = nullptr;
    bool quiet = false;
    int ready_fd = -1;
    enum class Action { serve, help, version } action = Action::serve;
};

// The reply options that cannot stand together. The three that never answer exclude every
// other reply option; of the ones that choose the reply, only --replies and --fail combine
// (a canned reply where there is one, a failure for the rest), and --close-after cuts any
// reply that is sent.
std::optional<std::string> contradiction(const std::vector<std::string>& given) {
    const auto silent = [](const std::string& o) {
        return o == "--no-reply" || o == "--no-read" || o == "--hang-up";
    };
    const auto chooses = [](const std::string& o) {
        return o == "--reply" || o == "--replies" || o == "--fail" || o == "--raw";
    };
    for (std::size_t i = 0; i < given.size(); ++i) {
        for (std::size_t j = i + 1; j < given.size(); ++j) {
            const std::string& a = given[i];
            const std::string& b = given[j];
            const bool clash =
                a != b &&
                (silent(a) || silent(b) ||
                 (chooses(a) && chooses(b) &&
                  !((a == "--replies" && b == "--fail") || (a == "--fail" && b == "--replies"))));
            if (clash) {
                std::string message = a;
                message += " and ";
                message += b;
                message += " cannot be used together";
                return message;
            }
        }
    }
    return std::nullopt;
}

Setup<Configuration> parse_options(int argc, char** argv) {
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
        memory_budget,
        ready_fd,
        version,
    };
    static const std::array<option, 18> long_options{{
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
        {"memory-budget", required_argument, nullptr, memory_budget},
        {"ready-fd", required_argument, nullptr, ready_fd},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, version},
        {nullptr, 0, nullptr, 0},
    }};
    Configuration c;
    Options& o = c.options;
    std::vector<std::string> reply_options;
    const char* reply_path = nullptr;
    const char* raw_path = nullptr;
    const char* replies_path = nullptr;
#define CORVANELLE_TAKE(target, parsed)                          \
    do {                                                         \
        auto value = (parsed);                                   \
        if (auto* failure = std::get_if<SetupFailure>(&value)) { \
            return std::move(*failure);                          \
        }                                                        \
        (target) = std::get<0>(std::move(value));                \
    } while (false)
    for (;;) {
        // Our own messages, in one line each, naming the program rather than its path.
        opterr = 0;
        const int k = ::getopt_long(argc, argv, ":h", long_options.data(), nullptr);
        if (k == -1) {
            break;
        }
        switch (k) {
            case 'h':
                c.action = Configuration::Action::help;
                return c;
            case version:
                c.action = Configuration::Action::version;
                return c;
            case replies:
                replies_path = optarg;
                reply_options.emplace_back("--replies");
                break;
            case reply:
                reply_path = optarg;
                reply_options.emplace_back("--reply");
                break;
            case raw:
                raw_path = optarg;
                reply_options.emplace_back("--raw");
                break;
            case fail:
                o.fail = true;
                reply_options.emplace_back("--fail");
                break;
            case delay: {
                long ms = 0;
                CORVANELLE_TAKE(ms, number_option("delay", optarg, 0L, 86400000L));
                o.delay = std::chrono::milliseconds(ms);
                break;
            }
            case close_after:
                CORVANELLE_TAKE(o.close_after, number_option<std::size_t>("close-after", optarg, 0,
                                                                          std::size_t{1} << 32));
                reply_options.emplace_back("--close-after");
                break;
            case no_reply:
                o.no_reply = true;
                reply_options.emplace_back("--no-reply");
                break;
            case no_read:
                o.no_read = true;
                reply_options.emplace_back("--no-read");
                break;
            case hang_up:
                o.hang_up = true;
                reply_options.emplace_back("--hang-up");
                break;
            case log:
                c.log_path = optarg;
                break;
            case quiet:
                c.quiet = true;
                break;
            case timeout: {
                long seconds = 0;
                CORVANELLE_TAKE(seconds, number_option("timeout", optarg, 1L, 86400L));
                o.timeout = std::chrono::seconds(seconds);
                break;
            }
            case max_connections:
                CORVANELLE_TAKE(o.max_connections,
                                number_option<std::size_t>("max-connections", optarg, 1, 65536));
                break;
            case memory_budget: {
                std::size_t mib = 0;
                CORVANELLE_TAKE(mib, number_option<std::size_t>("memory-budget", optarg, 1,
                                                                std::size_t{1024} * 1024));
                o.memory_budget = mib * 1024 * 1024;
                break;
            }
            case ready_fd:
                CORVANELLE_TAKE(c.ready_fd, number_option("ready-fd", optarg, 0, 65535));
                if (::fcntl(c.ready_fd, F_GETFD) < 0) {
                    return usage_error("--ready-fd " + std::to_string(c.ready_fd) +
                                       " is not an open descriptor");
                }
                break;
            case ':':
                return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                return usage_error(std::string("unrecognized option '") + argv[optind - 1] + "'");
        }
    }
#undef CORVANELLE_TAKE
    if (optind == argc) {
        return usage_error("a socket path is needed");
    }
    if (optind + 1 < argc) {
        return usage_error("one socket path only");
    }
    if (auto clash = contradiction(reply_options)) {
        return setup_error(*clash);
    }
    if (c.quiet && c.log_path != nullptr) {
        return setup_error("--quiet and --log cannot be used together");
    }
    o.socket_path = argv[optind];
    if (replies_path != nullptr) {
        o.replies_dir = ::open(replies_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (o.replies_dir < 0) {
            return setup_error(std::string("cannot open the replies folder ") + replies_path +
                               ": " + os_error_message(errno));
        }
    }
    if (reply_path != nullptr) {
        auto content = read_reply_file(reply_path, false);
        if (auto* failure = std::get_if<SetupFailure>(&content)) {
            return std::move(*failure);
        }
        o.reply_payload = std::get<0>(std::move(content));
    }
    if (raw_path != nullptr) {
        auto content = read_reply_file(raw_path, true);
        if (auto* failure = std::get_if<SetupFailure>(&content)) {
            return std::move(*failure);
        }
        o.raw_reply = std::get<0>(std::move(content));
    }
    return c;
}

int signal_pipe[2] = {-1, -1};
int wake_pipe[2] = {-1, -1};

extern "C" void on_signal(int /*signal*/) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

Status make_pipe(int (&ends)[2]) {
    if (::pipe(ends) != 0) {
        return fail(os_error_message(errno));
    }
    for (const int fd : ends) {
        (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
        (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    return {};
}

// The socket path, held: a lock on PATH.lock taken before anything at the path is probed or
// replaced, so that of two hosts starting on one path exactly one gets past it; and the
// identity of the socket file this host made, so that it removes that file and no other.
struct Place {
    std::string path;
    std::string lock_path;
    int lock_fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool made = false;

    // Removes what this host made: the socket file if it is still the one it created, then
    // the lock file, while still holding the lock (a host waiting for it checks that the file
    // it locked is still the one at the path).
    void leave() const {
        struct stat now {};
        if (made && ::lstat(path.c_str(), &now) == 0 && now.st_dev == device &&
            now.st_ino == inode) {
            (void)::unlink(path.c_str());
        }
        if (lock_fd >= 0) {
            (void)::unlink(lock_path.c_str());
        }
    }
};

std::string in_use(const std::string& path) {
    return path + " is already in use by a running host";
}

// An advisory lock is the one check-and-take the system makes atomic for us, it is released
// by the system when its holder ends however it ends, and it needs nothing that a stale
// socket could fake. The lock file is taken again when it was replaced after it was opened.
Result<int> lock_place(const std::string& lock_path, const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            return fail("cannot lock " + lock_path + ": " + os_error_message(errno));
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) {
                return fail(in_use(path));
            }
            return fail("cannot lock " + lock_path + ": " + os_error_message(error));
        }
        struct stat held {};
        struct stat there {};
        if (::fstat(fd, &held) == 0 && ::lstat(lock_path.c_str(), &there) == 0 &&
            held.st_dev == there.st_dev && held.st_ino == there.st_ino) {
            return fd;
        }
        ::close(fd);  // removed by a host that was leaving: take the new one
    }
    return fail("cannot lock " + lock_path + ": it keeps being replaced");
}

// A socket file left by a host that is gone is replaced; a live one, or anything that is not
// a socket, is refused. Runs under the lock.
Status clear_the_way(const std::string& path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) != 0) {
        return {};
    }
    if (!S_ISSOCK(existing.st_mode)) {
        return fail(path + " already exists and is not a socket");
    }
    auto probe = Socket::open_stream();
    if (!probe) {
        return fail(probe.error().message);
    }
    const auto connected = probe->connect_to(path);
    if (connected) {
        return fail(in_use(path));
    }
    if (connected.error().message != os_error_message(ECONNREFUSED)) {
        return fail("cannot use " + path + ": " + connected.error().message);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return fail("cannot replace the stale socket " + path + ": " + os_error_message(errno));
    }
    return {};
}

// Binds and listens under a short temporary name in the socket's own folder, then renames it
// into place, so that the path exists only once connections to it are accepted, whatever its
// length. The folder is entered for this, so that only the short name has to fit the address.
Result<Socket> listen_on(Place& place, std::size_t backlog) {
    const std::string& path = place.path;
    if (path.empty() || path.size() > corvanelle::max_socket_path_length()) {
        return fail("the socket path must have 1 to " +
                    std::to_string(corvanelle::max_socket_path_length()) + " bytes");
    }
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return fail("the socket path " + path + " names a folder");
    }
    place.lock_path = path + ".lock";
    auto lock = lock_place(place.lock_path, path);
    if (!lock) {
        return corvanelle::forward_failure(lock);
    }
    place.lock_fd = *lock;
    if (auto cleared = clear_the_way(path); !cleared) {
        return corvanelle::forward_failure(cleared);
    }
    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || ::chdir(folder.c_str()) != 0) {
        const int error = errno;
        if (here >= 0) {
            ::close(here);
        }
        return fail("cannot enter the folder of " + path + ": " + os_error_message(error));
    }
    const std::string temporary = ".stub-" + std::to_string(::getpid());
    auto socket = Socket::open_stream();
    std::string failure;
    const auto address = corvanelle::socket_address(temporary);
    if (!socket || !address) {
        failure = socket ? address.error().message : socket.error().message;
    } else {
        (void)::unlink(temporary.c_str());
        struct stat made {};
        if (::bind(socket->fd(), address->get(), address->length) != 0 ||
            ::lstat(temporary.c_str(), &made) != 0 ||
            ::listen(socket->fd(), static_cast<int>(backlog)) != 0 ||
            ::rename(temporary.c_str(), name.c_str()) != 0) {
            failure = os_error_message(errno);
            (void)::unlink(temporary.c_str());
        } else {
            place.device = made.st_dev;
            place.inode = made.st_ino;
            place.made = true;
        }
    }
    const bool back = ::fchdir(here) == 0;
    const int back_error = errno;
    ::close(here);
    if (!failure.empty()) {
        return fail("cannot listen on " + path + ": " + failure);
    }
    if (!back) {
        return fail("cannot return to the starting folder: " + os_error_message(back_error));
    }
    return std::move(*socket);
}

struct Host {
    Options options;
    RequestLog* log = nullptr;
    MemoryBudget* budget = nullptr;
    std::atomic<std::size_t> active{0};
};

void serve_and_wake(int fd, Host* host) {
    {
        const Socket socket(fd);
        corvanelle::stub::serve_connection(socket, host->options, *host->log, host->budget);
    }
    host->active.fetch_sub(1);
    const char byte = 1;
    (void)!::write(wake_pipe[1], &byte, 1);
}

void drain(int fd) {
    std::array<char, 256> sink{};
    while (::read(fd, sink.data(), sink.size()) > 0) {
    }
}

// Accepts while a slot is free, until a signal. At the cap, or out of descriptors,
// connections wait in the listen queue.
void accept_until_signalled(const Socket& listener, Host& host) {
    // Back off for this long when the system has no descriptor left for a connection.
    constexpr int kBackOffMs = 100;
    bool backing_off = false;
    for (;;) {
        const bool accepting = !backing_off && host.active.load() < host.options.max_connections;
        std::array<pollfd, 3> fds{{{signal_pipe[0], POLLIN, 0},
                                   {wake_pipe[0], POLLIN, 0},
                                   {listener.fd(), accepting ? short{POLLIN} : short{0}, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), backing_off ? kBackOffMs : -1);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
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
        host.active.fetch_add(1);
        try {
            std::thread(serve_and_wake, fd, &host).detach();
        } catch (const std::system_error&) {
            // No thread to be had (a process or memory limit): this connection is closed
            // unanswered, and the host goes on with the others.
            host.active.fetch_sub(1);
            ::close(fd);
            host.log->add("! no thread for a connection; it was closed unanswered");
        }
    }
}

int report(const SetupFailure& failure) {
    (void)std::fprintf(stderr, "%s: %s\n", kProgram, failure.message.c_str());
    if (failure.usage) {
        (void)std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    }
    return 2;
}

}  // namespace

namespace {

int run(int argc, char** argv) {
#if defined(__GLIBC__)
    // Buffers of a request's size come from the system and go back to it when freed, so
    // that what the budget gives back is given back by the process too.
    (void)::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    auto parsed = parse_options(argc, argv);
    if (auto* failure = std::get_if<SetupFailure>(&parsed)) {
        return report(*failure);
    }
    Configuration& configuration = std::get<0>(parsed);
    if (configuration.action == Configuration::Action::help) {
        (void)std::fputs(kUsage, stdout);
        return 0;
    }
    if (configuration.action == Configuration::Action::version) {
        (void)std::printf("%s %.*s\n", kProgram, static_cast<int>(corvanelle::kVersion.size()),
                          corvanelle::kVersion.data());
        return 0;
    }
    int log_fd = STDOUT_FILENO;
    if (configuration.quiet) {
        log_fd = -1;
    } else if (configuration.log_path != nullptr) {
        log_fd = ::open(configuration.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) {
            return report(setup_error(std::string("cannot open the log ") + configuration.log_path +
                                      ": " + os_error_message(errno)));
        }
    }

    (void)std::signal(SIGPIPE, SIG_IGN);
    if (auto made = make_pipe(signal_pipe); !made) {
        return report(setup_error(made.error().message));
    }
    if (auto made = make_pipe(wake_pipe); !made) {
        return report(setup_error(made.error().message));
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }

    // Outlive every connection thread: the process ends without waiting for them.
    static Host host;
    host.options = std::move(configuration.options);
    static MemoryBudget budget(host.options.memory_budget);
    static Place place;
    place.path = host.options.socket_path;
    auto listener = listen_on(place, SOMAXCONN);
    if (!listener) {
        place.leave();
        return report(setup_error(listener.error().message));
    }
    static RequestLog log(log_fd);
    host.log = &log;
    host.budget = &budget;
    (void)std::fprintf(stderr, "%s: listening on %s\n", kProgram, place.path.c_str());
    if (configuration.ready_fd >= 0) {
        (void)corvanelle::write_all(configuration.ready_fd, "listening on " + place.path + "\n");
        ::close(configuration.ready_fd);
    }

    accept_until_signalled(*listener, host);
    place.leave();
    // What is queued for the log gets a moment to be written; a log nobody reads is not
    // waited for. Connections still being served end with the process.
    log.finish(std::chrono::seconds(2));
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Only setting up can get here (connections keep their own failures): say so, once.
        return report(setup_error(e.what()));
    }
}
