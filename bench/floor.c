/* The floor: the exchange's system calls and nothing else. Connects to the socket named by
 * CORVANELLE_CONTROL_SOCKET, sends one framed request, receives the framed reply and writes
 * its payload to standard output, with no JSON work at all. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "floor_io.h"

int main(void) {
    const char *path = getenv("CORVANELLE_CONTROL_SOCKET");
    if (path == NULL || strlen(path) >= sizeof(((struct sockaddr_un *)0)->sun_path)) return 2;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    strcpy(address.sun_path, path);
    if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0) return 3;

    static const char request[] =
        "{\"arguments\":[],\"command\":\"see\",\"protocolVersion\":1,\"requestId\":\"1-1\"}";
    uint32_t n = sizeof request - 1;
    unsigned char frame[4 + sizeof request] = {n >> 24, n >> 16, n >> 8, n};
    memcpy(frame + 4, request, n);
    if (send(fd, frame, 4 + n, 0) != (ssize_t)(4 + n)) return 4;

    unsigned char field[4];
    if (exact(fd, field, 4) != 0) return 5;
    uint32_t length = (uint32_t)field[0] << 24 | (uint32_t)field[1] << 16 |
                      (uint32_t)field[2] << 8 | field[3];
    if (length == 0 || length > 4194304) return 6;
    char *reply = malloc(length);
    if (reply == NULL || exact(fd, reply, length) != 0) return 7;
    close(fd);
    for (size_t done = 0; done < length;) {
        ssize_t w = write(1, reply + done, length - done);
        if (w <= 0) return 8;
        done += (size_t)w;
    }
    return 0;
}
