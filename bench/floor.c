/*
 * The I/O floor of one get_memory_mb() call: every file, link and listing
 * that one call's snapshot opens and reads, in the same order, read into one
 * reused buffer and parsed no further than it takes to find the ids in the
 * listings and the number of CPU lines. What a call costs beyond this is the
 * snapshot's own work; a call that reads less than this comes in under it.
 *
 * One call reads, in this order:
 *   /proc/stat                whole (the boot time)
 *   /proc/meminfo             whole (the memory figures)
 *   /proc/cpuinfo             whole (the CPU descriptors: a new snapshot has
 *                             no CPU entries yet)
 *   /proc/stat                its CPU lines, 8192 bytes at a time, up to the
 *                             first line that is not a CPU line (the counters)
 *   for each CPU line cpuN    /sys/devices/system/cpu/cpuN/cpufreq/
 *                             scaling_cur_freq whole, and where that cannot
 *                             be read, /proc/cpuinfo whole once more
 *   /proc/uptime              whole
 *   the listing of /proc, and for each numeric directory PID in it:
 *     the listing of PID/task
 *     PID/status              whole (is it a thread group?)
 *     for each TID of that listing other than PID, under PID/task/TID/, and
 *     then for PID itself, under PID/:
 *       stat, status          whole
 *       exe                   the link, read once
 *       cmdline, environ      whole
 *       cwd, root             the links, read once each
 *       statm, io             whole
 *   /proc/stat                8192 bytes, only when 200 ms or more have
 *                             passed since its CPU lines were read (the CPU
 *                             share of the processes)
 *   /proc/meminfo             whole (get_memory_mb() refreshes the memory)
 *
 * "Whole" means read until a read returns 0, as a reader that does not know
 * the size of a /proc file must. Files are opened with openat relative to a
 * descriptor of /proc or of the process's task directory, read-only, and
 * closed right after; listings are read with getdents64. A file that cannot
 * be opened or read is passed over, as the snapshot passes it over.
 *
 *   floor [-w WARMUP] [CALLS]      (default 20 calls after 1 warm-up call)
 *
 * Prints JSON in the shape of Google Benchmark's: one "iteration" entry per
 * timed call with its wall time ("real_time") and CPU time in microseconds,
 * and the counts of the last call (entries = processes + tasks that are not
 * their process's leader, files opened, links read, reads of files, system
 * calls made for the call's I/O, bytes read).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum {
    READ_ROOM = 1 << 20,     /* the one reused buffer; bytes */
    LISTING_ROOM = 32768,    /* a getdents64 batch; bytes */
    STAT_LINE_CHUNK = 8192,  /* the CPU counters are read in chunks of this */
    CPU_SHARE_GAP_NS = 200000000,
};

struct counts {
    long procs;
    long tasks;
    long files;    /* opened */
    long links;    /* read */
    long reads;    /* of files, the one that meets the end included */
    long syscalls; /* every one the call makes, failed ones included */
    long long bytes;
};

static char *ROOM;               /* READ_ROOM bytes */
static struct counts SEEN;

static int64_t now_ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int open_at(int dirfd, const char *path, int flags) {
    int fd;
    do {
        ++SEEN.syscalls;
        fd = openat(dirfd, path, flags | O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

static void close_counted(int fd) {
    ++SEEN.syscalls;
    close(fd);
}

static ssize_t read_some(int fd, char *into, size_t bytes) {
    ssize_t got;
    do {
        ++SEEN.syscalls;
        ++SEEN.reads;
        got = read(fd, into, bytes);
    } while (got < 0 && errno == EINTR);
    return got;
}

/* Reads the file at dirfd/path until a read returns 0. */
static void read_whole(int dirfd, const char *path) {
    const int fd = open_at(dirfd, path, 0);
    if (fd < 0) return;
    ++SEEN.files;
    ssize_t got;
    while ((got = read_some(fd, ROOM, READ_ROOM)) > 0) SEEN.bytes += got;
    close_counted(fd);
}

static void read_link(int dirfd, const char *path) {
    ssize_t got;
    do {
        ++SEEN.syscalls;
        got = readlinkat(dirfd, path, ROOM, 4096);
    } while (got < 0 && errno == EINTR);
    ++SEEN.links;
    if (got > 0) SEEN.bytes += got;
}

/* Reads /proc/stat 8192 bytes at a time up to the first line after the
 * first that does not begin with "cpu"; `max_reads` bounds the reads (1 for
 * the aggregate line alone). Returns the number of per-CPU lines seen. */
static long read_cpu_lines(int procfd, int max_reads) {
    const int fd = open_at(procfd, "stat", 0);
    if (fd < 0) return 0;
    ++SEEN.files;
    long cpus = 0;
    int at_line_start = 1;
    int line = 0;
    int done = 0;
    ssize_t got;
    while (!done && max_reads-- > 0 && (got = read_some(fd, ROOM, STAT_LINE_CHUNK)) > 0) {
        SEEN.bytes += got;
        for (ssize_t i = 0; i < got && !done; ++i) {
            if (at_line_start) {
                /* Only the first bytes of a line are looked at; a line cut by
                 * the chunk's end is good enough for a count. */
                if (got - i >= 3 && memcmp(ROOM + i, "cpu", 3) != 0) done = 1;
                else if (line > 0) ++cpus;
                ++line;
            }
            at_line_start = ROOM[i] == '\n';
        }
    }
    close_counted(fd);
    return cpus;
}

static int is_id(const char *name) {
    if (*name == '\0') return 0;
    for (; *name; ++name)
        if (*name < '0' || *name > '9') return 0;
    return 1;
}

/* The ids of the numeric directories of the listing of dirfd, in listing
 * order, into *ids (grown as needed). Returns how many, or -1 when the
 * directory cannot be listed. */
static long list_ids(int dirfd, long **ids, long *capacity) {
    static char batch[LISTING_ROOM];
    long count = 0;
    long got;
    while (++SEEN.syscalls, (got = syscall(SYS_getdents64, dirfd, batch, sizeof batch)) > 0) {
        for (long at = 0; at < got;) {
            const struct dirent64 *d = (const struct dirent64 *)(batch + at);
            at += d->d_reclen;
            if (d->d_type != DT_DIR || !is_id(d->d_name)) continue;
            if (count == *capacity) {
                *capacity = *capacity ? *capacity * 2 : 1024;
                *ids = realloc(*ids, (size_t)*capacity * sizeof **ids);
                if (*ids == NULL) abort();
            }
            (*ids)[count++] = strtol(d->d_name, NULL, 10);
        }
    }
    return got < 0 && count == 0 ? -1 : count;
}

/* The files one entry's record is filled from, under dirfd/prefix, in the
 * order the snapshot reads them. */
static void read_entry(int dirfd, const char *prefix) {
    static const struct {
        const char *name;
        int is_link;
    } items[] = {{"stat", 0}, {"status", 0}, {"exe", 1}, {"cmdline", 0}, {"environ", 0},
                 {"cwd", 1}, {"root", 1}, {"statm", 0}, {"io", 0}};
    char path[64];
    for (size_t i = 0; i < sizeof items / sizeof *items; ++i) {
        snprintf(path, sizeof path, "%s%s", prefix, items[i].name);
        if (items[i].is_link) read_link(dirfd, path);
        else read_whole(dirfd, path);
    }
}

static void one_call(int procfd) {
    static long *pids, *tids;
    static long pid_room, tid_room;
    memset(&SEEN, 0, sizeof SEEN);

    read_whole(procfd, "stat");
    read_whole(procfd, "meminfo");
    read_whole(procfd, "cpuinfo");
    const int64_t counters_read = now_ns(CLOCK_MONOTONIC);
    const long cpus = read_cpu_lines(procfd, 1 << 20);
    char path[96];
    for (long i = 0; i < cpus; ++i) {
        snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/cpufreq/scaling_cur_freq", i);
        const long files_before = SEEN.files;
        read_whole(AT_FDCWD, path);
        if (SEEN.files == files_before) read_whole(procfd, "cpuinfo");
    }
    read_whole(procfd, "uptime");

    const int listing = open_at(procfd, ".", O_DIRECTORY);
    const long npids = listing < 0 ? 0 : list_ids(listing, &pids, &pid_room);
    if (listing >= 0) close_counted(listing);
    for (long p = 0; p < npids; ++p) {
        ++SEEN.procs;
        snprintf(path, sizeof path, "%ld/task", pids[p]);
        const int taskfd = open_at(procfd, path, O_DIRECTORY);
        long ntids = 0;
        if (taskfd >= 0) ntids = list_ids(taskfd, &tids, &tid_room);
        snprintf(path, sizeof path, "%ld/status", pids[p]);
        read_whole(procfd, path);
        for (long t = 0; t < ntids && taskfd >= 0; ++t) {
            if (tids[t] == pids[p]) continue;
            ++SEEN.tasks;
            snprintf(path, sizeof path, "%ld/", tids[t]);
            read_entry(taskfd, path);
        }
        if (taskfd >= 0) close_counted(taskfd);
        snprintf(path, sizeof path, "%ld/", pids[p]);
        read_entry(procfd, path);
    }
    if (now_ns(CLOCK_MONOTONIC) - counters_read >= CPU_SHARE_GAP_NS) read_cpu_lines(procfd, 1);
    read_whole(procfd, "meminfo");
}

int main(int argc, char **argv) {
    int warmup = 1;
    int calls = 20;
    int opt;
    while ((opt = getopt(argc, argv, "w:")) != -1) {
        if (opt != 'w') {
            fprintf(stderr, "usage: floor [-w WARMUP] [CALLS]\n");
            return 2;
        }
        warmup = atoi(optarg);
    }
    if (optind < argc) calls = atoi(argv[optind]);
    if (calls < 1) calls = 1;

    ROOM = malloc(READ_ROOM);
    const int procfd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (ROOM == NULL || procfd < 0) {
        perror("floor");
        return 1;
    }
    for (int i = 0; i < warmup; ++i) one_call(procfd);

    double *wall_us = malloc((size_t)calls * sizeof *wall_us);
    double *cpu_us = malloc((size_t)calls * sizeof *cpu_us);
    if (wall_us == NULL || cpu_us == NULL) abort();
    for (int i = 0; i < calls; ++i) {
        const int64_t c0 = now_ns(CLOCK_PROCESS_CPUTIME_ID);
        const int64_t t0 = now_ns(CLOCK_MONOTONIC);
        one_call(procfd);
        wall_us[i] = (double)(now_ns(CLOCK_MONOTONIC) - t0) / 1e3;
        cpu_us[i] = (double)(now_ns(CLOCK_PROCESS_CPUTIME_ID) - c0) / 1e3;
    }

    printf("{\n  \"context\": {\"executable\": \"floor\", \"warmup\": %d},\n"
           "  \"benchmarks\": [\n", warmup);
    for (int i = 0; i < calls; ++i) {
        printf("    {\"name\": \"floor\", \"run_name\": \"floor\", \"run_type\": \"iteration\", "
               "\"repetitions\": %d, \"repetition_index\": %d, \"iterations\": 1, "
               "\"real_time\": %.3f, \"cpu_time\": %.3f, \"time_unit\": \"us\", "
               "\"entries\": %ld, \"procs\": %ld, \"tasks\": %ld, \"files\": %ld, "
               "\"links\": %ld, \"reads\": %ld, \"syscalls\": %ld, \"bytes\": %lld}%s\n",
               calls, i, wall_us[i], cpu_us[i], SEEN.procs + SEEN.tasks, SEEN.procs, SEEN.tasks,
               SEEN.files, SEEN.links, SEEN.reads, SEEN.syscalls, SEEN.bytes,
               i + 1 < calls ? "," : "");
    }
    printf("  ]\n}\n");
    close(procfd);
    return 0;
}
