#include "accept.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "connection.hpp"

namespace corvanelle::stub {
namespace {

// Back off for this long when the system has no descriptor left for a connection.
constexpr int kBackOffMs = 100;

// What the loop shares with the connection threads: how many are being served, and the pipe
// on which each says it has ended, so that the loop can accept again.
struct Slots {
    std::atomic<std::size_t> active{0};
    int wake = -1;
};

void serve_and_free_slot(const Host* host, Slots* slots, Descriptor fd) {
    serve_connection(*host, Socket(std::move(fd)));
    slots->active.fetch_sub(1);
    const char ended = 'E';
    (void)!::write(slots->wake, &ended, 1);
}

// Empties the pipe; whether an ending signal was among what it held.
bool signalled(int fd) {
    bool ending = false;
    std::array<char, 256> bytes{};
    ssize_t n = 0;
    while ((n = ::read(fd, bytes.data(), bytes.size())) > 0) {
        ending = ending ||
                 std::find(bytes.begin(), bytes.begin() + n, kEndingSignal) != bytes.begin() + n;
    }
    return ending;
}

// A new thread serves the connection; without one, it is closed unanswered.
void start_serving(const Host& host, Slots& slots, Descriptor fd) {
    slots.active.fetch_add(1);
    try {
        std::thread(serve_and_free_slot, &host, &slots, std::move(fd)).detach();
    } catch (const std::system_error&) {
        // No thread to be had (a process or memory limit): the host goes on with the others.
        slots.active.fetch_sub(1);
        host.log.add("! no thread for a connection; it was closed unanswered");
    }
}

}  // namespace

void serve_until_signalled(const Socket& listener, const Host& host, const Pipe& wake) {
    // Connection threads outlive this loop: the process ends without waiting for them.
    static Slots slots;
    slots.wake = wake.write.get();
    bool backing_off = false;
    for (;;) {
        const bool accepting = !backing_off && slots.active.load() < host.settings.max_connections;
        std::array<pollfd, 2> fds{{{wake.read.get(), POLLIN, 0},
                                   {listener.fd(), accepting ? short{POLLIN} : short{0}, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), backing_off ? kBackOffMs : -1);
        if ((ready < 0 && errno != EINTR) || (fds[0].revents != 0 && signalled(wake.read.get()))) {
            return;
        }
        backing_off = false;
        if (!accepting || (fds[1].revents & POLLIN) == 0) {
            continue;
        }
        Descriptor fd(::accept(listener.fd(), nullptr, nullptr));
        if (!fd.is_open()) {
            backing_off = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            continue;
        }
        (void)::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
        start_serving(host, slots, std::move(fd));
    }
}

}  // namespace corvanelle::stub
