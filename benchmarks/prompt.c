/* A minimal interactive program for the benchmarks: prints a prompt, reads a
 * line, answers, prints the prompt again. Every answer is one write(2), the
 * prompt another, so the time a driver measures is the driver's and the
 * terminal's, not this program's.
 *
 * Commands (one per line):
 *   echo TEXT     answers TEXT
 *   bulk N        answers N MiB of mixed text: colour escapes, UTF-8, tabs
 *   cat PATH      answers the file's bytes
 *   quit          exits without a prompt
 *   anything else answers "?"
 *
 * The prompt is "PLX> "; the bulk text never contains it.
 *
 * Build: cc -O2 -o prompt prompt.c
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char kPrompt[] = "PLX> ";

static void write_all(const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            _exit(1);
        }
        p += w;
        n -= (size_t)w;
    }
}

/* One MiB of text shaped like a build log and a coloured listing, made once
 * and reused, deterministic from a fixed seed. */
#define BLOCK (1u << 20)
static char *bulk_block(void) {
    static char *block;
    if (block) return block;
    static const char *const words[] = {
        "build", "target", "warning:", "error:", "src/main.c:42:7", "note:", "the", "value",
        "struct", "return", "0x7ffd1234", "caf\xc3\xa9", "na\xc3\xafve", "\xe2\x86\x92",
        "\xe2\x9c\x93", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
        "\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80", "fn", "{", "}", "=", "ok", "passed", "[100%]"};
    static const char *const colours[] = {"\x1b[01;34m", "\x1b[01;32m", "\x1b[1;31m", "\x1b[33m",
                                          "\x1b[38;5;208m"};
    const size_t nw = sizeof words / sizeof *words, nc = sizeof colours / sizeof *colours;
    block = malloc(BLOCK);
    if (!block) _exit(1);
    unsigned long long x = 0x9E3779B97F4A7C15ull;
    size_t o = 0;
    for (;;) {
        char line[512];
        size_t l = 0;
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        int nwords = 4 + (int)(x % 10);
        for (int k = 0; k < nwords; ++k) {
            x ^= x << 13; x ^= x >> 7; x ^= x << 17;
            const char *w = words[x % nw];
            int coloured = (x >> 20) % 4 == 0;
            if (k) line[l++] = (x >> 30) % 8 == 0 ? '\t' : ' ';
            if (coloured) { size_t c = strlen(colours[(x >> 8) % nc]); memcpy(line + l, colours[(x >> 8) % nc], c); l += c; }
            size_t wl = strlen(w);
            memcpy(line + l, w, wl); l += wl;
            if (coloured) { memcpy(line + l, "\x1b[0m", 4); l += 4; }
        }
        line[l++] = '\n';
        if (o + l > BLOCK) break;
        memcpy(block + o, line, l);
        o += l;
    }
    /* Pad the rest of the block with a plain line of the exact length. */
    memset(block + o, '-', BLOCK - o);
    block[BLOCK - 1] = '\n';
    return block;
}

static void answer(char *line) {
    if (strncmp(line, "echo ", 5) == 0) {
        size_t n = strlen(line + 5);
        line[5 + n] = '\n';
        write_all(line + 5, n + 1);
    } else if (strncmp(line, "bulk ", 5) == 0) {
        long n = atol(line + 5);
        const char *b = bulk_block();
        for (long i = 0; i < n; ++i) write_all(b, BLOCK);
    } else if (strncmp(line, "cat ", 4) == 0) {
        int fd = open(line + 4, O_RDONLY);
        if (fd < 0) {
            write_all("cannot open\n", 12);
            return;
        }
        static char buf[1 << 16];
        ssize_t r;
        while ((r = read(fd, buf, sizeof buf)) > 0) write_all(buf, (size_t)r);
        close(fd);
    } else if (strcmp(line, "quit") == 0) {
        _exit(0);
    } else {
        write_all("?\n", 2);
    }
}

int main(void) {
    static char in[1 << 16];
    size_t have = 0;
    write_all(kPrompt, sizeof kPrompt - 1);
    for (;;) {
        char *nl;
        while ((nl = memchr(in, '\n', have)) != NULL) {
            *nl = '\0';
            size_t used = (size_t)(nl - in) + 1;
            answer(in);
            write_all(kPrompt, sizeof kPrompt - 1);
            memmove(in, in + used, have - used);
            have -= used;
        }
        if (have == sizeof in) have = 0; /* an overlong line is dropped */
        ssize_t r = read(0, in + have, sizeof in - have);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        have += (size_t)r;
    }
}
