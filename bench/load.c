/*
 * Puts a load on the host for the benchmarks: PROCS extra processes, each
 * with THREADS extra threads besides its own, every one of them asleep.
 *
 *   load [-s SECONDS] [-a COUNT:BYTES:FILL] [-e BYTES] PROCS THREADS
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
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum {
    THREAD_STACK = 64 * 1024,   /* bytes; the threads only sleep */
    ENV_PIECE = 120000,         /* bytes per generated variable */
    MAX_SECONDS = 3600,
    GRACE_SECONDS = 5,          /* a process's own alarm beyond the limit */
};

/* Marks the second execution: what follows the marker is filler. */
static const char FILLED[] = "--filled--";

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

static void usage(void) {
    fprintf(stderr, "usage: load [-s SECONDS] [-a COUNT:BYTES:FILL] [-e BYTES] PROCS THREADS\n");
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
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        perror("load: readlink");
        return;
    }
    self[len] = '\0';
    execve(self, args, env);
    perror("load: execve");
}

/* Overwrites the argument strings in place, as /proc/PID/cmdline reads them
 * from this process's memory; each keeps its length and its NUL. */
static void blank_arguments(int argc, char **argv, char fill) {
    for (int i = 0; i < argc; ++i) memset(argv[i], fill, strlen(argv[i]));
}

static void hold_process(int ready_fd, long threads, int seconds) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm((unsigned)(seconds + GRACE_SECONDS));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, THREAD_STACK);
    for (long i = 0; i < threads; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, sleep_forever, NULL) != 0) {
            perror("load: pthread_create");
            _exit(1);
        }
    }
    const char one = 1;
    if (write(ready_fd, &one, 1) != 1) _exit(1);
    close(ready_fd);
    sleep_forever(NULL);
}

int main(int argc, char **argv) {
    int seconds = 120;
    long count = 0, bytes = 0, env_bytes = 0;
    char fill = 'a';
    int opt;
    while ((opt = getopt(argc, argv, "+s:a:e:")) != -1) {
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
        } else {
            usage();
        }
    }
    if (argc - optind < 2) usage();
    const long procs = atol(argv[optind]);
    const long threads = atol(argv[optind + 1]);
    const int refilled = argc - optind > 2 && strcmp(argv[optind + 2], FILLED) == 0;
    if (procs < 0 || threads < 0 || seconds < 1 || seconds > MAX_SECONDS) usage();
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
            hold_process(ready[1], threads, seconds);
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
    return up == procs ? 0 : 1;
}
