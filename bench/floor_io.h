/* What the floor programs share: receiving exactly `size` bytes with nothing but recv(2), and
 * the floor client's whole exchange, which the re-indenter repeats before its own work. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

/* Returns 0, or -1 when the peer closes first or recv fails. */
static inline int exact(int fd, void *buffer, size_t size) {
    char *at = buffer;
    while (size > 0) {
        ssize_t n = recv(fd, at, size, 0);
        if (n <= 0) return -1;
        at += n;
        size -= (size_t)n;
    }
    return 0;
}

/* Connects to the socket named by CORVANELLE_CONTROL_SOCKET, sends one framed request and
 * receives the framed reply's payload into a buffer of its own size. Returns 0, or the exit
 * status that names the step that failed (2 to 7). */
static inline int floor_exchange(char **reply, uint32_t *length) {
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
    *length = (uint32_t)field[0] << 24 | (uint32_t)field[1] << 16 | (uint32_t)field[2] << 8 |
              field[3];
    if (*length == 0 || *length > 4194304) return 6;
    *reply = malloc(*length);
    if (*reply == NULL || exact(fd, *reply, *length) != 0) return 7;
    close(fd);
    return 0;
}
