/* The floor: the least a driver of a terminal program can do, in C, single
 * threaded. It starts PROGRAM as the child of a new pseudo-terminal (echo
 * off, 80x24, as pellux does), then per turn writes one line to the master,
 * polls and reads until MARKER shows up in the raw output, and cleans the
 * whole answer once with a one-pass byte filter (escape sequences, CR and
 * other control bytes out). It times itself, so whoever drives it adds
 * nothing to its figures.
 *
 *   floor_driver PROGRAM MARKER
 *
 * Commands on standard input, one per line; each answers one line on
 * standard output beginning with "ok" (or "err MESSAGE"):
 *   spawn            start the child, read to its first marker: ok NS
 *   turns K TEXT     K turns sending TEXT: ok CLEAN_HEX NS_1 ... NS_K
 *                    (CLEAN_HEX: the last turn's clean answer, hex, <= 4 KiB)
 *   bulk TEXT        one turn: ok NS RAW_BYTES CLEAN_BYTES FNV1A64
 *   close            SIGHUP, reap, close the master: ok NS
 *   idle MS [SLICE]  wait MS ms for a marker that never comes, in waits of at
 *                    most SLICE ms if given: ok CPU_NS
 *   filter PATH R    clean the file R times: ok BEST_NS CLEAN_BYTES FNV1A64
 *   dump PATH        write the last clean text to PATH (untimed): ok
 *   quit
 *
 * Build: cc -O2 -o floor_driver floor_driver.c
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const char *g_program;
static const char *g_marker;
static size_t g_marker_len;
static int g_master = -1;
static pid_t g_child = -1;

static char *g_raw;       /* one turn's raw output */
static size_t g_raw_cap;
static char *g_clean;     /* its clean text */
static size_t g_clean_cap;
static size_t g_clean_len;   /* length of the last clean text */

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static void *grow(void *p, size_t *cap, size_t need) {
    if (need <= *cap) return p;
    size_t c = *cap ? *cap : 1 << 16;
    while (c < need) c *= 2;
    p = realloc(p, c);
    if (!p) { perror("realloc"); exit(2); }
    *cap = c;
    return p;
}

/* --- the filter: one pass over the bytes --------------------------------- */

static size_t clean(const unsigned char *s, size_t n, unsigned char *d) {
    size_t i = 0, o = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b >= 0x20 || b == '\t' || b == '\n') { d[o++] = b; ++i; continue; }
        if (b != 0x1b) { ++i; continue; }
        if (i + 1 >= n) break;
        unsigned char c = s[i + 1];
        size_t j = i + 2;
        if (c == '[') {
            while (j < n && !(s[j] >= 0x40 && s[j] <= 0x7e)) ++j;
            if (j >= n) break;
            i = j + 1;
        } else if (c == ']') {
            while (j < n && s[j] != 0x07 && !(s[j] == 0x1b && j + 1 < n && s[j + 1] == '\\')) ++j;
            if (j >= n) break;
            i = j + (s[j] == 0x07 ? 1 : 2);
        } else if (c == 'P' || c == '^' || c == '_') {
            while (j < n && !(s[j] == 0x1b && j + 1 < n && s[j + 1] == '\\')) ++j;
            if (j >= n) break;
            i = j + 2;
        } else {
            i += 2;
        }
    }
    return o;
}

static uint64_t fnv1a(const unsigned char *s, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) { h ^= s[i]; h *= 0x100000001b3ull; }
    return h;
}

/* --- the child ----------------------------------------------------------- */

static int spawn_child(void) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) || unlockpt(m)) return -1;
    char name[64];
    if (ptsname_r(m, name, sizeof name)) return -1;
    struct winsize ws = {.ws_row = 24, .ws_col = 80};
    ioctl(m, TIOCSWINSZ, &ws);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setsid();
        int s = open(name, O_RDWR); /* becomes the controlling terminal */
        if (s < 0) _exit(126);
        dup2(s, 0); dup2(s, 1); dup2(s, 2);
        struct termios t;
        tcgetattr(0, &t);
        t.c_lflag &= ~(tcflag_t)ECHO;
        tcsetattr(0, TCSANOW, &t);
        syscall(SYS_close_range, 3u, ~0u, 0u);
        char *argv[] = {(char *)g_program, NULL};
        execv(g_program, argv);
        _exit(127);
    }
    g_master = m;
    g_child = pid;
    return 0;
}

/* Reads until the marker shows up in the raw bytes, the child goes away, or
 * timeout_ms passes. Returns the raw length. */
static size_t read_to_marker(int timeout_ms) {
    size_t len = 0;
    uint64_t deadline = now_ns() + (uint64_t)timeout_ms * 1000000ull;
    for (;;) {
        uint64_t t = now_ns();
        if (t >= deadline) return len;
        struct pollfd p = {g_master, POLLIN, 0};
        int r = poll(&p, 1, (int)((deadline - t + 999999) / 1000000));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return len;
        g_raw = grow(g_raw, &g_raw_cap, len + 65536);
        ssize_t n = read(g_master, g_raw + len, 65536);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return len;
        size_t from = len >= g_marker_len ? len - g_marker_len + 1 : 0;
        len += (size_t)n;
        if (memmem(g_raw + from, len - from, g_marker, g_marker_len)) return len;
    }
}

static size_t clean_raw(size_t len) {
    g_clean = grow(g_clean, &g_clean_cap, len + 1);
    g_clean_len = clean((const unsigned char *)g_raw, len, (unsigned char *)g_clean);
    return g_clean_len;
}

static void send_line(const char *text) {
    size_t n = strlen(text);
    char *line = malloc(n + 1);
    memcpy(line, text, n);
    line[n] = '\n';
    size_t off = 0;
    while (off < n + 1) {
        ssize_t w = write(g_master, line + off, n + 1 - off);
        if (w < 0) { if (errno == EINTR) continue; break; }
        off += (size_t)w;
    }
    free(line);
}

/* --- commands ------------------------------------------------------------ */

int main(int argc, char **argv) {
    if (argc != 3) { fprintf(stderr, "usage: floor_driver PROGRAM MARKER\n"); return 2; }
    g_program = argv[1];
    g_marker = argv[2];
    g_marker_len = strlen(g_marker);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    char *cmd = NULL;
    size_t cmd_cap = 0;
    ssize_t got;
    while ((got = getline(&cmd, &cmd_cap, stdin)) > 0) {
        if (cmd[got - 1] == '\n') cmd[--got] = '\0';
        if (strcmp(cmd, "spawn") == 0) {
            uint64_t t0 = now_ns();
            if (spawn_child()) { printf("err spawn %s\n", strerror(errno)); fflush(stdout); continue; }
            size_t len = read_to_marker(20000);
            clean_raw(len);
            uint64_t t1 = now_ns();
            printf("ok %llu\n", (unsigned long long)(t1 - t0));
        } else if (strncmp(cmd, "turns ", 6) == 0) {
            char *rest;
            long k = strtol(cmd + 6, &rest, 10);
            const char *text = *rest == ' ' ? rest + 1 : rest;
            uint64_t *ns = calloc((size_t)k, sizeof *ns);
            size_t clen = 0;
            for (long i = 0; i < k; ++i) {
                uint64_t t0 = now_ns();
                send_line(text);
                size_t len = read_to_marker(20000);
                clen = clean_raw(len);
                ns[i] = now_ns() - t0;
            }
            printf("ok ");
            for (size_t i = 0; i < clen && i < 4096; ++i) printf("%02x", (unsigned char)g_clean[i]);
            if (clen == 0) printf("-");
            for (long i = 0; i < k; ++i) printf(" %llu", (unsigned long long)ns[i]);
            printf("\n");
            free(ns);
        } else if (strncmp(cmd, "bulk ", 5) == 0) {
            uint64_t t0 = now_ns();
            send_line(cmd + 5);
            size_t len = read_to_marker(120000);
            size_t clen = clean_raw(len);
            uint64_t t1 = now_ns();
            printf("ok %llu %zu %zu %llu\n", (unsigned long long)(t1 - t0), len, clen,
                   (unsigned long long)fnv1a((unsigned char *)g_clean, clen));
        } else if (strcmp(cmd, "close") == 0) {
            uint64_t t0 = now_ns();
            kill(g_child, SIGHUP);
            while (waitpid(g_child, NULL, 0) < 0 && errno == EINTR) {}
            close(g_master);
            uint64_t t1 = now_ns();
            g_master = -1;
            g_child = -1;
            printf("ok %llu\n", (unsigned long long)(t1 - t0));
        } else if (strncmp(cmd, "idle ", 5) == 0) {
            int total = 0, slice = 0;
            sscanf(cmd + 5, "%d %d", &total, &slice);
            struct rusage a, b;
            getrusage(RUSAGE_SELF, &a);
            if (slice <= 0) {
                read_to_marker(total);
            } else {
                uint64_t end = now_ns() + (uint64_t)total * 1000000ull;
                for (uint64_t t = now_ns(); t < end; t = now_ns()) {
                    uint64_t left = (end - t + 999999) / 1000000;
                    read_to_marker(left < (uint64_t)slice ? (int)left : slice);
                }
            }
            getrusage(RUSAGE_SELF, &b);
            long long us = (b.ru_utime.tv_sec - a.ru_utime.tv_sec) * 1000000ll +
                           (b.ru_utime.tv_usec - a.ru_utime.tv_usec) +
                           (b.ru_stime.tv_sec - a.ru_stime.tv_sec) * 1000000ll +
                           (b.ru_stime.tv_usec - a.ru_stime.tv_usec);
            printf("ok %lld\n", us * 1000);
        } else if (strncmp(cmd, "filter ", 7) == 0) {
            char path[4096];
            int reps = 1;
            if (sscanf(cmd + 7, "%4095s %d", path, &reps) < 1) { printf("err args\n"); fflush(stdout); continue; }
            int fd = open(path, O_RDONLY);
            struct stat st;
            if (fd < 0 || fstat(fd, &st)) { printf("err open\n"); fflush(stdout); continue; }
            size_t n = (size_t)st.st_size;
            g_raw = grow(g_raw, &g_raw_cap, n + 1);
            size_t off = 0;
            ssize_t r;
            while (off < n && (r = read(fd, g_raw + off, n - off)) > 0) off += (size_t)r;
            close(fd);
            uint64_t best = UINT64_MAX;
            size_t clen = 0;
            for (int i = 0; i < reps; ++i) {
                uint64_t t0 = now_ns();
                clen = clean_raw(n);
                uint64_t t = now_ns() - t0;
                if (t < best) best = t;
            }
            printf("ok %llu %zu %llu\n", (unsigned long long)best, clen,
                   (unsigned long long)fnv1a((unsigned char *)g_clean, clen));
        } else if (strncmp(cmd, "dump ", 5) == 0) {
            FILE *f = fopen(cmd + 5, "wb");
            if (!f || fwrite(g_clean, 1, g_clean_len, f) != g_clean_len || fclose(f)) {
                printf("err dump\n");
            } else {
                printf("ok\n");
            }
        } else if (strcmp(cmd, "quit") == 0) {
            break;
        } else {
            printf("err unknown command\n");
        }
        fflush(stdout);
    }
    if (g_child > 0) { kill(g_child, SIGHUP); waitpid(g_child, NULL, 0); }
    return 0;
}
