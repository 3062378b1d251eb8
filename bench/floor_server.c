/* The floor host: answers every connection's request frame with the bytes of one file as the
 * reply frame, one connection at a time, with nothing else in the way. It stands in for a
 * desktop application that answers at once, so that a client's own start-up cost shows. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "floor_io.h"

int main(int argc, char **argv) {
    if (argc != 3 || strlen(argv[1]) >= sizeof(((struct sockaddr_un *)0)->sun_path)) {
        fprintf(stderr, "usage: corvanelle-floor-server SOCKET REPLY_FILE\n");
        return 2;
    }
    FILE *file = fopen(argv[2], "rb");
    if (file == NULL) return 2;
    static char frame[4 + 4194304];
    size_t n = fread(frame + 4, 1, sizeof frame - 4, file);
    fclose(file);
    frame[0] = (char)(n >> 24), frame[1] = (char)(n >> 16), frame[2] = (char)(n >> 8);
    frame[3] = (char)n;

    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    strcpy(address.sun_path, argv[1]);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 128) != 0)
        return 3;
    /* Ready: scripts wait for this line. */
    printf("listening on %s\n", argv[1]);
    fflush(stdout);
    static char request[4194304];
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0) continue;
        unsigned char field[4];
        if (exact(fd, field, 4) == 0) {
            uint32_t length = (uint32_t)field[0] << 24 | (uint32_t)field[1] << 16 |
                              (uint32_t)field[2] << 8 | field[3];
            if (length >= 1 && length <= sizeof request && exact(fd, request, length) == 0) {
                for (size_t done = 0; done < 4 + n;) {
                    ssize_t w = send(fd, frame + done, 4 + n - done, MSG_NOSIGNAL);
                    if (w <= 0) break;
                    done += (size_t)w;
                }
            }
        }
        close(fd);
    }
}
