/* The re-indenter: the floor's exchange, then the reply written in the indented form with the
 * least work such a program can do. It validates nothing, sorts nothing and converts nothing:
 * strings and numbers are copied as they stand, white space is dropped, and brackets, commas
 * and colons get the line feeds and two-blank indentation of the client's indented form. It
 * is the anchor the client's own JSON work is timed against (bench/run.sh). */
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "floor_io.h"

#define CHUNK 65536
#define MAX_DEPTH 128

static char out[CHUNK];
static size_t used;
static char blanks[1 + 2 * MAX_DEPTH];

static int write_all(const char *at, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, at, n);
        if (w <= 0) return -1;
        at += w;
        n -= (size_t)w;
    }
    return 0;
}

static int flush(void) {
    int failed = write_all(out, used);
    used = 0;
    return failed;
}

static int put(const char *at, size_t n) {
    if (used + n > CHUNK && flush() != 0) return -1;
    if (n > CHUNK) return write_all(at, n);
    memcpy(out + used, at, n);
    used += n;
    return 0;
}

/* A line feed and two blanks a level. */
static int newline(size_t depth) {
    return put(blanks, 1 + 2 * (depth < MAX_DEPTH ? depth : MAX_DEPTH));
}

static int blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static int ends_scalar(char c) {
    return blank(c) || c == ',' || c == ']' || c == '}' || c == ':';
}

int main(void) {
    char *reply = NULL;
    uint32_t length = 0;
    int failed = floor_exchange(&reply, &length);
    if (failed != 0) return failed;
    blanks[0] = '\n';
    memset(blanks + 1, ' ', sizeof blanks - 1);

    size_t depth = 0;
    int status = 0;
    for (size_t i = 0; i < length && status == 0; ++i) {
        const char c = reply[i];
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
                break;
            case '"': {
                /* To the closing quotation mark: the first one not escaped by a backslash. */
                size_t end = i + 1;
                for (;;) {
                    const char *quote = memchr(reply + end, '"', length - end);
                    if (quote == NULL) {
                        end = length - 1;
                        break;
                    }
                    end = (size_t)(quote - reply);
                    size_t backslashes = 0;
                    while (reply[end - 1 - backslashes] == '\\') ++backslashes;
                    if (backslashes % 2 == 0) break;
                    ++end;
                }
                status = put(reply + i, end + 1 - i);
                i = end;
                break;
            }
            case '{':
            case '[': {
                size_t next = i + 1;
                while (next < length && blank(reply[next])) ++next;
                if (next < length && (reply[next] == '}' || reply[next] == ']')) {
                    const char empty[2] = {c, reply[next]};
                    status = put(empty, 2);
                    i = next;
                } else {
                    status = put(&c, 1);
                    if (status == 0) status = newline(++depth);
                }
                break;
            }
            case '}':
            case ']':
                status = newline(depth > 0 ? --depth : 0);
                if (status == 0) status = put(&c, 1);
                break;
            case ',':
                status = put(",", 1);
                if (status == 0) status = newline(depth);
                break;
            case ':':
                status = put(": ", 2);
                break;
            default: {
                /* A number or a literal: copied as it stands, up to the next byte of structure. */
                size_t end = i + 1;
                while (end < length && !ends_scalar(reply[end])) ++end;
                status = put(reply + i, end - i);
                i = end - 1;
            }
        }
    }
    if (status == 0) status = put("\n", 1);
    if (status == 0) status = flush();
    return status == 0 ? 0 : 8;
}
