/* The floor: the exchange's system calls and nothing else. Connects to the socket named by
 * CORVANELLE_CONTROL_SOCKET, sends one framed request, receives the framed reply and writes
 * its payload to standard output, with no JSON work at all. */
#include <stdint.h>
#include <unistd.h>

#include "floor_io.h"

int main(void) {
    char *reply = NULL;
    uint32_t length = 0;
    int failed = floor_exchange(&reply, &length);
    if (failed != 0) return failed;
    for (size_t done = 0; done < length;) {
        ssize_t w = write(1, reply + done, length - done);
        if (w <= 0) return 8;
        done += (size_t)w;
    }
    return 0;
}
