/* What the floor client and the floor server both do: receive exactly `size` bytes, with
 * nothing but recv(2). Returns 0, or -1 when the peer closes first or recv fails. */
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

static int exact(int fd, void *buffer, size_t size) {
    char *at = buffer;
    while (size > 0) {
        ssize_t n = recv(fd, at, size, 0);
        if (n <= 0) return -1;
        at += n;
        size -= (size_t)n;
    }
    return 0;
}
