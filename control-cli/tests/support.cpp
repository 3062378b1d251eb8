#include "support.hpp"

#include <gtest/gtest.h>

#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace corvanelle::test {
namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

std::vector<std::string> child_environment(const ProcessOptions& options) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        if (options.env.count(name) == 0) {
            env.push_back(text);
        }
    }
    for (const auto& [name, value] : options.env) {
        if (value) {
            env.push_back(name + "=" + *value);
        }
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Held from the making of a child's pipes until their write ends are closed here, by every
// helper that starts a process: a child started meanwhile by another thread would inherit a
// write end and keep that pipe open for as long as it lives (a stand-in host, for good).
std::mutex& spawning() {
    static std::mutex mutex;
    return mutex;
}

// Starts `program` with `args` and the environment `options` asks for.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options, const posix_spawn_file_actions_t& actions) {
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    auto argv = pointers(argv_strings);
    auto env_strings = child_environment(options);
    auto envp = pointers(env_strings);
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    if (error != 0) {
        errno = error;
        check(false, "posix_spawn");
    }
    return pid;
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options) {
    std::unique_lock lock(spawning());
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    check(::pipe(out.data()) == 0 && ::pipe(err.data()) == 0, "pipe");
    if (options.close_stdout) {
        // Before the child starts, so that its very first write finds no reader.
        ::close(out[0]);
        out[0] = -1;
    }
    if (options.nonblocking_output) {
        // O_NONBLOCK belongs to the open pipe, so the child's standard output has it too.
        check(
            ::fcntl(out[1], F_SETFL, O_NONBLOCK) == 0 && ::fcntl(err[1], F_SETFL, O_NONBLOCK) == 0,
            "fcntl");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (out[0] >= 0) {
        posix_spawn_file_actions_addclose(&actions, out[0]);
    }
    posix_spawn_file_actions_addclose(&actions, err[0]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    const pid_t pid = spawn(program, args, options, actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    lock.unlock();
    ProcessResult result;
    std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    std::array<char, 65536> buffer{};
    int open_count = (out[0] >= 0 ? 1 : 0) + 1;
    while (open_count > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            check(false, "poll");
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const bool slow = options.read_pause.count() > 0;
            const ssize_t n = ::read(fds[i].fd, buffer.data(), slow ? 4096 : buffer.size());
            if (n > 0) {
                sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
                if (slow) {
                    std::this_thread::sleep_for(options.read_pause);
                }
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
#ifdef __APPLE__
    result.peak_bytes = static_cast<std::size_t>(usage.ru_maxrss);  // macOS counts bytes
#else
    result.peak_bytes = static_cast<std::size_t>(usage.ru_maxrss) * 1024;  // Linux counts KiB
#endif
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

int spawn_to_files(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, const std::string& out_path,
                   const std::string& err_path) {
    const std::lock_guard lock(spawning());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = spawn(program, args, options, actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string client_path() {
    return CORVANELLE_CLIENT_PATH;
}
std::string stub_path() {
    return CORVANELLE_STUB_PATH;
}

TempDir::TempDir() {
    // Short, since socket paths must fit the address field.
    std::string pattern = "/tmp/cc-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/dev/fd");
    check(dir != nullptr, "opendir /dev/fd");
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count - 1;  // the directory's own descriptor
}

std::string frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::string bytes{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 8), static_cast<char>(n)};
    return bytes + payload;
}

ScriptedHost::ScriptedHost(Script script) : path_(dir_.file("s")) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    check(listener_ >= 0 && ::fcntl(listener_, F_SETFD, FD_CLOEXEC) == 0, "socket");
    const auto address = socket_address(path_);
    check(address && ::bind(listener_, address->get(), address->length) == 0, "bind");
    check(::listen(listener_, 4) == 0, "listen");
    thread_ = std::thread([this, script = std::move(script)] {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        script(fd, *this);
        ::close(fd);
    });
}

ScriptedHost::~ScriptedHost() {
    if (thread_.joinable()) {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
    }
    ::close(listener_);
}

void ScriptedHost::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ScriptedHost::read_request(int fd) {
    auto read_exact = [&](std::size_t n) {
        std::string bytes(n, '\0');
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got = ::recv(fd, bytes.data() + done, n - done, 0);
            if (got <= 0) {
                bytes.resize(done);
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        received += bytes;
        return bytes;
    };
    const std::string field = read_exact(4);
    if (field.size() < 4) {
        return;
    }
    const std::uint32_t length = (std::uint32_t{static_cast<unsigned char>(field[0])} << 24) |
                                 (std::uint32_t{static_cast<unsigned char>(field[1])} << 16) |
                                 (std::uint32_t{static_cast<unsigned char>(field[2])} << 8) |
                                 std::uint32_t{static_cast<unsigned char>(field[3])};
    read_exact(length);
}

void ScriptedHost::read_to_end(int fd) {
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0) {
            saw_end_of_stream = true;
            return;
        }
        if (n < 0) {
            return;
        }
        received.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

// The test process keeps SIGPIPE's default disposition, so that a signal where the client
// should see an error ends the test visibly; its own sends to a client that went away must
// therefore not raise one.
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

void ScriptedHost::send_bytes(int fd, const std::string& bytes) {
#ifdef SO_NOSIGPIPE
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, kNoSignal);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

StubHost::StubHost(const std::vector<std::string>& options, const std::string& path,
                   const Launch& launch)
    : path_(path.empty() ? dir_.file("s") : path), log_path_(dir_.file("log")) {
    // The host says on descriptor 3 when it listens: a hand-shake, not a wait for the file.
    std::unique_lock lock(spawning());
    std::array<int, 2> ready{};
    std::array<int, 2> log{-1, -1};
    check(::pipe(ready.data()) == 0 && (launch.log != Launch::Log::pipe || ::pipe(log.data()) == 0),
          "pipe");
    // Close-on-exec, so that no later child keeps this hand-shake open; the dup2 below gives
    // the host its own copy.
    for (int& fd : ready) {
        if (fd == 3) {  // a dup2 onto itself would keep the flag
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 4);
            ::close(fd);
            fd = moved;
        }
        (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    std::vector<std::string> args{stub_path(), "--ready-fd", "3"};
    if (!launch.folder.empty()) {
        args.insert(args.begin(), {"/usr/bin/unshare", "--map-root-user"});
    }
    if (launch.log == Launch::Log::file) {
        args.insert(args.end(), {"--log", log_path_});
    }
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path_);
    auto argv = pointers(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Closed before the dup2, since the read end may itself be descriptor 3.
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    if (ready[1] != 3) {
        posix_spawn_file_actions_addclose(&actions, ready[1]);
    }
    if (launch.log == Launch::Log::pipe) {
        (void)::fcntl(log[0], F_SETFD, FD_CLOEXEC);
        (void)::fcntl(log[1], F_SETFL, O_NONBLOCK);
        posix_spawn_file_actions_adddup2(&actions, log[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, log[1]);
    }
    for (const int fd : launch.closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    if (!launch.folder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, launch.folder.c_str());
    }
    ProcessOptions environment;
    environment.env = launch.env;
    auto env_strings = child_environment(environment);
    auto envp = pointers(env_strings);
    pid_t pid = -1;
    errno = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    const int spawned = errno;
    ::close(ready[1]);
    if (launch.log == Launch::Log::pipe) {
        ::close(log[1]);
        log_reader_ = std::thread([this, fd = log[0]] {
            std::array<char, 65536> buffer{};
            ssize_t n = 0;
            while ((n = ::read(fd, buffer.data(), buffer.size())) > 0 ||
                   (n < 0 && errno == EINTR)) {
                piped_log_.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            }
            ::close(fd);
        });
    }
    lock.unlock();
    errno = spawned;
    check(errno == 0, "posix_spawn stub");
    pid_ = pid;
    std::string line;
    char c = 0;
    ssize_t n = 0;
    while (((n = ::read(ready[0], &c, 1)) > 0 || (n < 0 && errno == EINTR)) && c != '\n') {
        if (n > 0) {
            line += c;
        }
    }
    ::close(ready[0]);
    if (line.rfind("listening on ", 0) != 0) {
        stop();
        throw std::runtime_error("the stand-in host did not start");
    }
}

std::string StubHost::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (log_reader_.joinable()) {
        log_reader_.join();
        return piped_log_;
    }
    std::ifstream in(log_path_);
    return {std::istreambuf_iterator<char>(in), {}};
}

StubHost::~StubHost() {
    stop();
}

void StubHost::kill_hard() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

std::string expected_envelope(std::string_view code, std::string_view message) {
    std::string escaped;
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20) {
            const char hex[] = "0123456789abcdef";
            escaped += "\\u00";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0xf];
        } else {
            escaped += c;
        }
    }
    // What each failure code tells the caller, written out here from the documented table.
    struct Advice {
        std::string_view code;
        std::string_view fix;
        bool retryable;
    };
    static constexpr Advice kAdvice[] = {
        {"CONTROL_SOCKET_NOT_CONFIGURED",
         "Run the bundled CLI through Corvanelle's authorized SSH shell, or set "
         "CORVANELLE_CONTROL_SOCKET to the socket exported by the running desktop app.",
         false},
        {"CONTROL_HOST_UNAVAILABLE",
         "Open Corvanelle Desktop, then rerun `corvanelle-control bridge status --json` before "
         "retrying the requested action.",
         true},
        {"CONTROL_TRANSPORT_TIMEOUT",
         "Check `corvanelle-control bridge status --json`; inspect current UI state before "
         "retrying because a mutation may have been dispatched.",
         true},
        {"CLIENT_FAILURE",
         "Run `corvanelle-control bridge status --json`, preserve this error message, and do not "
         "retry a mutation without inspecting current state.",
         false},
    };
    const Advice* advice = std::find_if(std::begin(kAdvice), std::end(kAdvice),
                                        [&](const Advice& a) { return a.code == code; });
    if (advice == std::end(kAdvice)) {
        ADD_FAILURE() << "no such failure code: " << code;
        return {};
    }
    return R"({"data":null,"debugLogs":[],"error":{"code":")" + std::string(code) +
           R"(","details":null,"message":")" + escaped + R"(","recommendedFix":")" +
           std::string(advice->fix) + R"(","retryable":)" + (advice->retryable ? "true" : "false") +
           R"(},"requestId":"client","success":false})" + "\n";
}

Document parse_json(std::string_view text) {
    auto document = read_json_text(text);
    if (!document) {
        ADD_FAILURE() << "not JSON: " << document.error().message << "\n" << text;
        return *read_json_text("null");
    }
    return std::move(*document);
}

std::string json_at(std::string_view text, std::string_view path) {
    const Document document = parse_json(text);
    Document::Value at = document.root();
    while (!path.empty()) {
        const auto dot = path.find('.');
        const std::string_view key = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
        if (at.kind() != Document::Kind::object || !at.find(key, at)) {
            return "";
        }
    }
    return to_compact(at);
}

}  // namespace corvanelle::test
