/* Built into the socket code's BSD variant on systems without SO_NOSIGPIPE (Linux), so that
 * the lines macOS compiles are compiled here too. SO_KEEPALIVE is a real, harmless option
 * that setsockopt takes: the call runs, but it keeps no signal away. The tests of this
 * variant therefore ignore SIGPIPE themselves; that a socket's own suppression works is
 * proven by the shipped variant's test, on the platform that ships it. */
#include <sys/socket.h>
#ifndef SO_NOSIGPIPE
#define SO_NOSIGPIPE SO_KEEPALIVE
#endif
