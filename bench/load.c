/*
 * Puts a load on the host for the benchmarks: PROCS extra processes, each
 * with THREADS extra threads besides its own, every one of them asleep.
 *
 *   load [-s SECONDS] [-a COUNT:BYTES:FILL] [-e BYTES]
 *        [-m GIB [-i | -I] [-x EXECS [-t]]] [-d BYTES] [-u USER] PROCS THREADS
 *
 *   -s SECONDS        how long the load holds at most (default 120, at most
 *                     3600); it ends sooner on SIGTERM, SIGINT or SIGHUP
 *   -a COUNT:BYTES:FILL  each process's command line carries COUNT more
 *                     arguments of BYTES bytes, all of them the byte FILL
 *                     ("space" for a space, else one character); the
 *                     program's own arguments are then overwritten with
 *                     FILL too, so that the command line holds nothing else
 *   -e BYTES          each process has an environment of BYTES bytes more
 *                     (in variables of at most 120,000 bytes)
 *   -m GIB            each process keeps its own address-space lock busy,
 *                     as any user may: its main thread flips the protection
 *                     of GIB GiB of zero pages in a loop, and each mprotect
 *                     holds the lock for write while it rewrites every page
 *                     entry (a reader of its "cmdline" waits that long)
 *   -i                with -m: the lock holder is starved of CPU. The
 *                     flipping thread runs at SCHED_IDLE, and two of the
 *                     THREADS threads (at least two) keep CPUs busy instead
 *                     of sleeping: the holder then waits for a CPU while it
 *                     holds its lock, and a reader of its "cmdline" waits
 *                     for seconds
 *   -I                with -m: the same process with its lock idle, for a
 *                     comparison: the same threads, policy and pages, the
 *                     flipping thread spinning without the lock
 *   -x EXECS          with -i or -I: EXECS more of the THREADS each keep a
 *                     child exec'ing, over and over, from a vfork that
 *                     shares the process's address space until the exec
 *                     replaces it; and a second thread flips (or spins) at
 *                     SCHED_IDLE, so that a hold follows a hold. An exec
 *                     holds the child's exec lock from the moment it lets
 *                     go of the old address space, which waits for that
 *                     space's lock, until the new program is set up: a
 *                     reader of the child's "stat", "io", "exe", "cwd" or
 *                     "root" waits out the holds
 *   -t                with -x: each exec'ing child is forked instead, with
 *                     an address space of its own: it maps GIB GiB of zero
 *                     pages, every page entry filled in, and goes to
 *                     SCHED_IDLE before it execs, so that the exec tears
 *                     them down, starved of CPU by the busy threads, while
 *                     it holds the child's exec lock. The process itself
 *                     maps and flips nothing. With -I the child unmaps its
 *                     pages before it goes idle: the same work, no hold
 *   -d BYTES          the processes stand in a directory whose path is some
 *                     BYTES long (at most 4000), made in the current one
 *                     and removed when the load ends
 *   -u USER           the processes run as USER, every user and group id of
 *                     it, and dumpable, so that their files in /proc are
 *                     USER's as those of a program USER started (this
 *                     program must then start as root)
 *
 * The processes are forked from this one, so each holds its own copy of the
 * command line and environment, as its files in /proc show them. Prints
 * "ready" on standard output once every process and thread is up, and when
 * the load ends it kills the processes and waits for them, so nothing
 * outlives it: each process also dies with this one (PR_SET_PDEATHSIG) and
 * by its own alarm a little after the time limit.
 *
 * The arguments and the environment are put in place by executing this
 * program once more with them; the kernel bounds each string to 128 KiB and
 * all of them together to a quarter of the stack limit.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum {
    THREAD_STACK = 64 * 1024,   /* bytes; the threads only sleep or spin */
    BUSY_THREADS = 2,           /* with -i or -I */
    ENV_PIECE = 120000,         /* bytes per generated variable */
    MAX_SECONDS = 3600,
    GRACE_SECONDS = 5,          /* a process's own alarm beyond the limit */
};

/* Marks the second execution: what follows the marker is filler. */
static const char FILLED[] = "--filled--";
/* The program an exec'ing child (-x) runs: this one, ending at once. */
static const char EXITED[] = "--exit--";
/* This program's path (the readlink leaves the NUL of the zeroed array). */
static char SELF[4096];

static volatile sig_atomic_t STOPPING;

static void on_stop(int sig) {
    (void)sig;
    STOPPING = 1;
}

static void *sleep_forever(void *unused) {
    (void)unused;
    for (;;) pause();
    return NULL;
}

static void *spin_forever(void *unused) {
    (void)unused;
    for (volatile unsigned long n = 0;; ++n) {
    }
    return NULL;
}

/* How each process's lock-flipping thread runs (-m): flat out, starved of
 * CPU (-i), or starved and spinning without the lock (-I). */
enum holder { HOLDER_PLAIN, HOLDER_STARVED, HOLDER_SPINNING };

/* The ids the processes take on (-u). */
struct owner {
    int set;
    uid_t uid;
    gid_t gid;
};

static void usage(void) {
    fprintf(stderr, "usage: load [-s SECONDS] [-a COUNT:BYTES:FILL] [-e BYTES]"
                    " [-m GIB [-i | -I] [-x EXECS [-t]]] [-d BYTES] [-u USER] PROCS THREADS\n");
    exit(2);
}

static char *filled(size_t bytes, char fill, const char *prefix) {
    const size_t skip = strlen(prefix);
    char *s = malloc(skip + bytes + 1);
    if (s == NULL) abort();
    memcpy(s, prefix, skip);
    memset(s + skip, fill, bytes);
    s[skip + bytes] = '\0';
    return s;
}

/* Executes this program again with the filler arguments after the marker
 * and the filler variables in the environment. Returns only on failure. */
static void refill(int argc, char **argv, long count, long bytes, char fill, long env_bytes) {
    extern char **environ;
    size_t nenv = 0;
    while (environ[nenv] != NULL) ++nenv;
    const long pieces = (env_bytes + ENV_PIECE - 1) / ENV_PIECE;
    char **env = calloc(nenv + (size_t)pieces + 1, sizeof *env);
    char **args = calloc((size_t)argc + (size_t)count + 2, sizeof *args);
    if (env == NULL || args == NULL) abort();
    memcpy(env, environ, nenv * sizeof *env);
    for (long i = 0; i < pieces; ++i) {
        char name[32];
        snprintf(name, sizeof name, "LOAD_FILL_%ld=", i);
        const long left = env_bytes - i * ENV_PIECE;
        env[nenv + (size_t)i] = filled((size_t)(left < ENV_PIECE ? left : ENV_PIECE), 'e', name);
    }
    int n = 0;
    for (int i = 0; i < argc; ++i) args[n++] = argv[i];
    args[n++] = (char *)FILLED;
    for (long i = 0; i < count; ++i) args[n++] = filled((size_t)bytes, fill, "");
    /* By its own path, so that the process keeps its name. */
    execve(SELF, args, env);
    perror("load: execve");
}

/* Overwrites the argument strings in place, as /proc/PID/cmdline reads them
 * from this process's memory; each keeps its length and its NUL. */
static void blank_arguments(int argc, char **argv, char fill) {
    for (int i = 0; i < argc; ++i) memset(argv[i], fill, strlen(argv[i]));
}

/* Maps GIB GiB of zero pages, every page entry filled in. NULL on failure. */
static char *zero_pages(long gib) {
    const size_t size = (size_t)gib << 30;
    char *at = mmap(NULL, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) return NULL;
    for (size_t off = 0; off < size; off += 4096) (void)*(volatile char *)(at + off);
    return at;
}

static void storm(char *at, long gib) {
    const size_t size = (size_t)gib << 30;
    for (int writable = 0;; writable ^= PROT_WRITE) mprotect(at, size, PROT_READ | writable);
}

/* What a second flipping thread (-x) is given. */
struct flipper {
    char *pages;
    long gib;
    enum holder holder;
};

static void set_idle(void) {
    const struct sched_param lowest = {.sched_priority = 0};
    const int err = pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
    if (err != 0) {
        fprintf(stderr, "load: SCHED_IDLE: %s\n", strerror(err));
        _exit(1);
    }
}

static void *flip_forever(void *arg) {
    const struct flipper *f = arg;
    set_idle();
    if (f->holder == HOLDER_SPINNING) spin_forever(NULL);
    storm(f->pages, f->gib);
    return NULL;
}

/* Waits for the child an exec'ing thread started; after a failed start,
 * pauses a second before the next. */
static void reap(pid_t pid) {
    if (pid < 0) {
        sleep(1);
        return;
    }
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
}

/* Keeps a child exec'ing this program, which ends at once. vfork: the
 * child runs in this address space, on this thread's stack, until its exec
 * lets go of them. */
static void *exec_forever(void *unused) {
    (void)unused;
    /* On this thread's stack, in place before the exec: the exec reads its
     * arguments from the kernel, whose page faults wait for the whole
     * address-space lock (a fault of this thread's own waits only for the
     * mapping's), and the read-only data a fork leaves unmapped would make
     * the child wait out a hold before its window rather than in it. */
    char exited[sizeof EXITED];
    memcpy(exited, EXITED, sizeof EXITED);
    char *const args[] = {SELF, exited, NULL};
    char *const env[] = {NULL};
    for (;;) {
        const pid_t pid = vfork();
        if (pid == 0) {
            execve(SELF, args, env);
            _exit(127);
        }
        reap(pid);
    }
    return NULL;
}

/* Keeps a child exec'ing this program from an address space of its own
 * (-t). The child runs on after a fork from a process with threads, so it
 * makes system calls only. */
static void *tear_down_forever(void *arg) {
    const struct flipper *f = arg;
    const size_t size = (size_t)f->gib << 30;
    char *const args[] = {SELF, (char *)EXITED, NULL};
    char *const env[] = {NULL};
    const struct sched_param lowest = {.sched_priority = 0};
    for (;;) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            char *pages = zero_pages(f->gib);
            if (pages == NULL) _exit(1);
            if (f->holder == HOLDER_SPINNING) munmap(pages, size);
            if (sched_setscheduler(0, SCHED_IDLE, &lowest) != 0) _exit(1);
            execve(SELF, args, env);
            _exit(127);
        }
        reap(pid);
    }
    return NULL;
}

/* Goes on as the owner, every id of it. A change of ids leaves a process
 * undumpable, its /proc files root's; a program the owner started would be
 * dumpable. Exits on failure. */
static void become(const struct owner *owner) {
    if (setgroups(0, NULL) != 0 || setresgid(owner->gid, owner->gid, owner->gid) != 0 ||
        setresuid(owner->uid, owner->uid, owner->uid) != 0 ||
        prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0) {
        perror("load: -u");
        _exit(1);
    }
}

/* One directory component of the deep directory. */
enum { DEEP_PART = 200 };

/* The relative path of the first `depth` components of the deep directory. */
static void deep_path(char *path, int depth) {
    char *at = path;
    for (int i = 0; i < depth; ++i) {
        if (i > 0) *at++ = '/';
        memset(at, 'd', DEEP_PART);
        at += DEEP_PART;
    }
    *at = '\0';
}

/* Makes and enters a chain of directories in `start` whose path is some
 * `bytes` long. Returns how many it made. */
static int enter_deep(const char *start, long bytes) {
    char path[4096];
    int depth = 0;
    for (long len = (long)strlen(start); len + DEEP_PART + 1 <= bytes; len += DEEP_PART + 1) {
        deep_path(path, ++depth);
        if (mkdir(path, 0755) != 0 && errno != EEXIST) break;
    }
    deep_path(path, depth);
    if (depth > 0 && chdir(path) != 0) perror("load: chdir");
    return depth;
}

static void remove_deep(const char *start, int depth) {
    if (chdir(start) != 0) return;
    char path[4096];
    for (; depth > 0; --depth) {
        deep_path(path, depth);
        rmdir(path);
    }
}

static void hold_process(int ready_fd, long threads, int seconds, long storm_gib,
                         enum holder holder, long execs, int teardown,
                         const struct owner *owner) {
    /* After the change of ids, which clears the death signal. */
    if (owner->set) become(owner);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm((unsigned)(seconds + GRACE_SECONDS));
    /* Before the busy threads take the CPUs. */
    char *pages = NULL;
    if (storm_gib > 0 && !teardown && (pages = zero_pages(storm_gib)) == NULL) {
        perror("load: mmap");
        _exit(1);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, THREAD_STACK);
    const long busy = holder == HOLDER_PLAIN ? 0 : BUSY_THREADS;
    static struct flipper second;
    second = (struct flipper){.pages = pages, .gib = storm_gib, .holder = holder};
    for (long i = 0; i < threads; ++i) {
        pthread_t t;
        void *(*run)(void *) = i < busy                     ? spin_forever
                               : i < busy + execs && teardown ? tear_down_forever
                               : i < busy + execs           ? exec_forever
                               : i == busy + execs && execs && !teardown ? flip_forever
                                                            : sleep_forever;
        if (pthread_create(&t, &attr, run, &second) != 0) {
            perror("load: pthread_create");
            _exit(1);
        }
    }
    /* Only the flipping threads: the busy ones keep the normal policy. */
    if (holder != HOLDER_PLAIN) set_idle();
    const char one = 1;
    if (write(ready_fd, &one, 1) != 1) _exit(1);
    close(ready_fd);
    if (holder == HOLDER_SPINNING && !teardown) spin_forever(NULL);
    if (pages != NULL) storm(pages, storm_gib);
    sleep_forever(NULL);
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], EXITED) == 0) return 0;
    int seconds = 120;
    long count = 0, bytes = 0, env_bytes = 0, storm_gib = 0, deep_bytes = 0, execs = 0;
    int teardown = 0;
    char fill = 'a';
    enum holder holder = HOLDER_PLAIN;
    struct owner owner = {0};
    int opt;
    while ((opt = getopt(argc, argv, "+s:a:e:m:iIx:td:u:")) != -1) {
        if (opt == 's') {
            seconds = atoi(optarg);
        } else if (opt == 'a') {
            char what[16] = "";
            if (sscanf(optarg, "%ld:%ld:%15s", &count, &bytes, what) != 3 || count < 0 ||
                bytes < 1 || bytes >= 128 * 1024)
                usage();
            fill = strcmp(what, "space") == 0 ? ' ' : what[0];
        } else if (opt == 'e') {
            env_bytes = atol(optarg);
        } else if (opt == 'm') {
            storm_gib = atol(optarg);
            if (storm_gib < 1) usage();
        } else if (opt == 'i' || opt == 'I') {
            if (holder != HOLDER_PLAIN) usage();
            holder = opt == 'i' ? HOLDER_STARVED : HOLDER_SPINNING;
        } else if (opt == 'x') {
            execs = atol(optarg);
            if (execs < 1) usage();
        } else if (opt == 't') {
            teardown = 1;
        } else if (opt == 'u') {
            const struct passwd *pw = getpwnam(optarg);
            if (pw == NULL) {
                fprintf(stderr, "load: no user %s\n", optarg);
                exit(2);
            }
            owner = (struct owner){.set = 1, .uid = pw->pw_uid, .gid = pw->pw_gid};
        } else if (opt == 'd') {
            deep_bytes = atol(optarg);
            if (deep_bytes < 1 || deep_bytes > 4000) usage();
        } else {
            usage();
        }
    }
    if (argc - optind < 2) usage();
    const long procs = atol(argv[optind]);
    const long threads = atol(argv[optind + 1]);
    const int refilled = argc - optind > 2 && strcmp(argv[optind + 2], FILLED) == 0;
    if (procs < 0 || threads < 0 || seconds < 1 || seconds > MAX_SECONDS) usage();
    if (holder != HOLDER_PLAIN && (storm_gib == 0 || threads < BUSY_THREADS)) usage();
    /* The exec'ing threads and the second flipping one come from THREADS. */
    if (execs > 0 && (holder == HOLDER_PLAIN || threads < BUSY_THREADS + execs + 1)) usage();
    if (teardown && execs == 0) usage();
    if (readlink("/proc/self/exe", SELF, sizeof SELF - 1) <= 0) {
        perror("load: readlink");
        return 1;
    }
    if ((count > 0 || env_bytes > 0) && !refilled) {
        refill(argc, argv, count, bytes, fill, env_bytes);
        return 1;
    }
    if (count > 0) blank_arguments(argc, argv, fill);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);

    char start[4096];
    if (getcwd(start, sizeof start) == NULL) {
        perror("load: getcwd");
        return 1;
    }
    const int depth = deep_bytes > 0 ? enter_deep(start, deep_bytes) : 0;

    int ready[2];
    if (pipe(ready) != 0) {
        perror("load: pipe");
        return 1;
    }
    pid_t *kids = calloc((size_t)procs + 1, sizeof *kids);
    if (kids == NULL) abort();
    long started = 0;
    for (; started < procs && !STOPPING; ++started) {
        const pid_t pid = fork();
        if (pid < 0) {
            perror("load: fork");
            break;
        }
        if (pid == 0) {
            close(ready[0]);
            hold_process(ready[1], threads, seconds, storm_gib, holder, execs, teardown, &owner);
        }
        kids[started] = pid;
    }
    close(ready[1]);
    long up = 0;
    char byte;
    while (up < started && !STOPPING) {
        const ssize_t got = read(ready[0], &byte, 1);
        if (got == 1) ++up;
        else if (got == 0 || errno != EINTR) break;
    }
    if (up == started && started == procs && !STOPPING) {
        printf("ready\n");
        fflush(stdout);
        const time_t end = time(NULL) + seconds;
        while (!STOPPING && time(NULL) < end) sleep(1);
    } else {
        fprintf(stderr, "load: only %ld of %ld processes came up\n", up, procs);
    }
    for (long i = 0; i < started; ++i) kill(kids[i], SIGKILL);
    for (long i = 0; i < started; ++i)
        while (waitpid(kids[i], NULL, 0) < 0 && errno == EINTR) {
        }
    remove_deep(start, depth);
    return up == procs ? 0 : 1;
}
