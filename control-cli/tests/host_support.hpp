// What the stand-in host's tests share: a raw connection for sending what no well-behaved client
// would, requests of a chosen size, reading the host's process state, and running clients.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "support.hpp"
#include "version.hpp"

#ifndef __linux__
// Only Linux sets another process's limits. The cases that need it skip elsewhere; this
// stand-in, failing as a missing call would, keeps them compiling there.
inline int prlimit(pid_t, int, const rlimit*, rlimit*) {
    errno = ENOSYS;
    return -1;
}
#endif

namespace corvanelle::host_test {

using test::StubHost;
using test::TempDir;
using Args = std::vector<std::string>;

// A raw connection to a host, for sending what no well-behaved client would.
class Connection {
  public:
    explicit Connection(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        const auto address = socket_address(path);
        connected_ = address && ::connect(fd_, address->get(), address->length) == 0;
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    [[nodiscard]] bool connected() const { return connected_; }
    // Sends give up after this long (the host may rightly stop reading).
    void send_time_out(std::chrono::milliseconds limit) const {
        const timeval tv{static_cast<time_t>(limit.count() / 1000),
                         static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
        (void)::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    void send(const std::string& bytes) const { test::ScriptedHost::send_bytes(fd_, bytes); }
    // Everything the host sends until it closes.
    [[nodiscard]] std::string until_closed() const {
        std::string got;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

  private:
    int fd_;
    bool connected_ = false;
};

inline bool answers(const StubHost& host) {
    test::ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    const auto result = test::run_process(test::client_path(), {"--json", "click"}, options);
    return result.status == 0 && test::json_at(result.out, "success") == "true";
}

inline bool alive(int pid) {
    return ::kill(pid, 0) == 0 && ::waitpid(pid, nullptr, WNOHANG) == 0;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The payload of the one whole frame in `bytes`, or nothing when they are not one whole frame
// of a valid length.
inline std::optional<std::string> frame_payload(const std::string& bytes) {
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    LengthField field{};
    std::memcpy(field.data(), bytes.data(), 4);
    const std::size_t length = decode_length(field);
    if (!valid_frame_length(length) || bytes.size() != 4 + length) {
        return std::nullopt;
    }
    return bytes.substr(4);
}

// What the host sends back for one request frame, until it closes.
inline std::string ask(const StubHost& host, const std::string& payload) {
    const Connection connection(host.path());
    connection.send(test::frame(payload));
    return connection.until_closed();
}

// A request of `size` bytes whose one argument is a run of x.
inline std::string request_of_size(std::size_t size, std::string_view command = "click") {
    const std::string head = R"({"arguments":[")";
    const std::string tail =
        std::string(R"("],"command":")") + std::string(command) + R"(","requestId":"1-1"})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

// The densest request a frame can hold: about 2 million values in 4 MiB, one every 2 bytes.
inline const std::string& dense_request() {
    static const std::string text = [] {
        const std::string tail = R"(0],"command":"click","protocolVersion":1,"requestId":"1-1"})";
        std::string r = R"({"arguments":[)";
        while (r.size() + 2 + tail.size() <= kFrameLimit) {
            r += "0,";
        }
        return r + tail;
    }();
    return text;
}

// A number from /proc/PID/status (kB for memory), or nothing where there is no /proc.
inline std::optional<std::size_t> proc_status(int pid, std::string_view key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key) && line[key.size()] == ':') {
            return std::stoul(line.substr(key.size() + 1));
        }
    }
    return std::nullopt;
}

using test::kSanitized;

#ifdef __linux__
constexpr bool kCanLimitOtherProcesses = true;
#else
constexpr bool kCanLimitOtherProcesses = false;
#endif

// Every row's host runs with these bounds, short so that rows take seconds.
constexpr int kTimeoutSeconds = 2;
constexpr std::size_t kCap = 8;
constexpr std::size_t kBudgetMib = 64;
// What the host may hold beyond its budget: the program itself, the connection threads'
// stacks and the 128 KiB each connection holds outside the budget, and the log's queue.
constexpr std::size_t kOverheadMib = 24;
// A normal client behind at most 2 × --max-connections others: answered once the ones ahead
// have had their time-outs, twice over.
constexpr auto kAnswerBound = std::chrono::seconds(2 * kTimeoutSeconds + 2);

// The longest recording a replay folder may hold: two frames and 1 MiB.
constexpr std::size_t kLongestRecording = 2 * kFrameLimit + 1024 * 1024;

// Stands for the path of the application (application()) in a row's options: a host is
// started for it only when a row asks.
inline const std::string kApplication = "<application>";

// An application whose replies are the default echo's, for the host to relay to.
inline const StubHost& application() {
    static const StubHost host;
    return host;
}

// The names in a folder, in order.
inline std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    for (const dirent* entry = nullptr; listing != nullptr && (entry = ::readdir(listing));) {
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..") {
            names.emplace_back(entry->d_name);
        }
    }
    if (listing != nullptr) {
        ::closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What the client made of a run: its status and both outputs, for comparing runs whole.
inline std::vector<std::tuple<int, std::string, std::string>> run_clients(
    const StubHost& host, const std::vector<Args>& runs) {
    test::ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    std::vector<std::tuple<int, std::string, std::string>> results;
    for (const Args& args : runs) {
        auto r = test::run_process(test::client_path(), args, options);
        results.emplace_back(r.status, std::move(r.out), std::move(r.err));
    }
    return results;
}

// One host with reply files stands for the application, a second relays and records, a
// third replays: the client prints the same bytes and exits the same way, run by run, in the

}  // namespace corvanelle::host_test
