// Helpers for the tests: running the real binaries, temporary sockets, a scripted host.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "shared/document.hpp"

// Built with AddressSanitizer. The sanitizers need what some rows take away from a process:
// AddressSanitizer's shadow memory cannot live under an address-space limit or within a
// resident-memory bound, and with no descriptor left UBSan's own memory checks (which open a pipe)
// fail and report false errors.
#if defined(__SANITIZE_ADDRESS__)
#define CORVANELLE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANELLE_TEST_SANITIZED 1
#endif
#endif

namespace corvanelle::test {

#ifdef CORVANELLE_TEST_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// The error envelope line (with its line feed) for a failure with this code and message,
// written out here, independently of the program's writer and classifier: the caller names
// the code it expects.
std::string expected_envelope(std::string_view code, std::string_view message);

// A JSON text read with the client's own reader, for looking into what a program printed.
// A text that does not read fails the test that asked.
Document parse_json(std::string_view text);
// The value at a dotted path of members ("error.code"), written compact; "" if it is absent.
std::string json_at(std::string_view text, std::string_view path);

struct ProcessResult {
    int status = -1;  // exit status, or -1 when a signal ended the process
    int signal = 0;   // the signal that ended it, if any
    std::string out;
    std::string err;
    std::size_t peak_bytes = 0;  // the most memory it held resident
};

struct ProcessOptions {
    // Variables to set (a value) or to remove (nullopt) in the child's environment.
    std::map<std::string, std::optional<std::string>> env;
    // Close the read end of the child's standard output at once: its writes meet EPIPE.
    bool close_stdout = false;
    // Give the child non-blocking pipes for standard output and standard error, as an event
    // loop that shares them would, and read them slowly: 4 KiB, then this pause.
    bool nonblocking_output = false;
    std::chrono::microseconds read_pause{0};
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options = {});

// Starts `program` with standard output and standard error written to files, and returns at
// once with its process id.
int spawn_to_files(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, const std::string& out_path,
                   const std::string& err_path);

// The client and the stand-in host, as built.
std::string client_path();
std::string stub_path();

// A fresh directory, removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

// How many descriptors the process has open.
std::size_t open_descriptor_count();

// A listening socket that serves exactly one connection with a scripted function on a thread.
// The script gets the connected descriptor; `received` holds what the client sent.
class ScriptedHost {
  public:
    using Script = std::function<void(int fd, ScriptedHost& host)>;
    explicit ScriptedHost(Script script);
    ~ScriptedHost();
    ScriptedHost(const ScriptedHost&) = delete;
    ScriptedHost& operator=(const ScriptedHost&) = delete;

    const std::string& path() const { return path_; }
    // Waits for the script to end; `received` then holds the bytes the client sent before it
    // ended, as read by `read_request()` and `read_to_end()`.
    void join();
    std::string received;
    bool saw_end_of_stream = false;

    // Script building blocks.
    // Reads one whole request frame into `received` (length field included).
    void read_request(int fd);
    // Reads until the client closes its end; sets saw_end_of_stream.
    void read_to_end(int fd);
    static void send_bytes(int fd, const std::string& bytes);

  private:
    TempDir dir_;
    std::string path_;
    int listener_ = -1;
    std::thread thread_;
};

// The frame of a payload: its length in four big-endian bytes, then the payload.
std::string frame(const std::string& payload);

// How a stand-in host is started, besides its options.
struct Launch {
    std::vector<int> closed;  // standard descriptors it starts without
    // Where it logs: to a file of its own, to standard output as a non-blocking pipe read at
    // once, or to the standard output it was started with.
    enum class Log { file, pipe, output } log = Log::file;
    // A folder to start in, as root of a user namespace of its own, whom the permissions of a
    // folder owned by someone else then bind.
    std::string folder;
    // Variables to set (a value) or to remove (nullopt) in its environment.
    std::map<std::string, std::optional<std::string>> env;
};

// A running stand-in host on a fresh socket, stopped with SIGTERM when the object goes.
class StubHost {
  public:
    // On a fresh socket path, or on `path`.
    explicit StubHost(const std::vector<std::string>& options = {}, const std::string& path = {},
                      const Launch& launch = {});
    ~StubHost();
    StubHost(const StubHost&) = delete;
    StubHost& operator=(const StubHost&) = delete;
    const std::string& path() const { return path_; }
    const std::string& log_path() const { return log_path_; }
    // Stops the host and returns what it logged.
    std::string stop();
    // Ends the host with SIGKILL: its socket file stays behind.
    void kill_hard();
    [[nodiscard]] int pid() const { return pid_; }

  private:
    TempDir dir_;
    std::string path_;
    std::string log_path_;
    int pid_ = -1;
    std::thread log_reader_;  // of a log on a pipe, into piped_log_
    std::string piped_log_;
};

}  // namespace corvanelle::test
