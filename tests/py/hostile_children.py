"""Child programs whose /proc files are awkward to read, for test_hostile.py.

    python hostile_children.py MODE [ARG...]

Every mode that stays alive prints one line on standard output once its
awkward state is in place ("ready" and sometimes ids), then sleeps until it is
killed or, for the loops, until the file named by its first argument exists.
Names are passed as hexadecimal so that any byte gets through argv intact.
"""

from __future__ import annotations

import ctypes
import errno
import hashlib
import os
import pwd
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

PR_SET_NAME = 15
PR_SET_DUMPABLE = 4
# Children of one churner alive at a time.
CHURN_CHILDREN = 4

_libc = ctypes.CDLL(None, use_errno=True)
# sched_setscheduler's system call, by machine: musl's function refuses with
# ENOSYS (the kernel sets one thread's policy, which POSIX's function does
# not), so there the thread asks the kernel itself.
SYS_SCHED_SETSCHEDULER = {"x86_64": 144, "aarch64": 119}


def set_thread_name(name: bytes) -> None:
    """Names the calling thread, as prctl(PR_SET_NAME) does for any program.
    The kernel keeps the first 15 bytes (16 with the NUL)."""
    if _libc.prctl(PR_SET_NAME, ctypes.c_char_p(name), 0, 0, 0) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))


def set_idle_policy() -> None:
    """Puts the calling thread at SCHED_IDLE, the lowest priority."""
    try:
        os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
        return
    except OSError as error:
        number = SYS_SCHED_SETSCHEDULER.get(os.uname().machine)
        if error.errno != errno.ENOSYS or number is None:
            raise
    priority = ctypes.c_int(0)
    if _libc.syscall(ctypes.c_long(number), ctypes.c_long(0), ctypes.c_long(os.SCHED_IDLE),
                     ctypes.byref(priority)) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))


def ready(*words: object) -> None:
    sys.stdout.write(" ".join(["ready", *map(str, words)]) + "\n")
    sys.stdout.flush()


def sleep_forever() -> None:
    while True:
        time.sleep(600)


def mode_named(hex_name: str) -> None:
    set_thread_name(bytes.fromhex(hex_name))
    ready()
    sleep_forever()


def mode_named_exit(hex_name: str) -> None:
    # The parent does not reap this one: it stays a zombie under that name.
    set_thread_name(bytes.fromhex(hex_name))
    os._exit(0)


def mode_sleep(*_ignored: str) -> None:
    # The awkward part (a huge environment, thousands of arguments) was set by
    # the parent at exec time.
    ready()
    sleep_forever()


def mode_threads(count: str, *_arguments: str) -> None:
    """COUNT tasks in one thread group, all asleep; the arguments after the
    count only make the command line as large as the parent wants."""
    threading.stack_size(128 * 1024)
    for _ in range(int(count) - 1):
        threading.Thread(target=sleep_forever, daemon=True).start()
    ready()
    sleep_forever()


def mode_blank_threads(count: str, *_arguments: str) -> None:
    """As "threads", with the whole command line overwritten by blanks, as a
    program that sets its own title may: the kernel shows one piece that is
    all white space."""
    fields = open("/proc/self/stat", "rb").read().rpartition(b")")[2].split()
    # arg_start and arg_end, the kernel's fields 48 and 49.
    start, end = int(fields[48 - 3]), int(fields[49 - 3])
    with open("/proc/self/mem", "r+b", buffering=0) as mem:
        mem.seek(start)
        mem.write(b" " * (end - start - 1))
    mode_threads(count)


def mode_renaming_thread(stop: str, *hex_names: str) -> None:
    """One thread renames itself through the given names, over and over,
    through both ways a program can do it, until STOP exists."""
    names = [bytes.fromhex(h) for h in hex_names]
    started = threading.Event()
    tid_box: list[int] = []

    def rename_loop() -> None:
        tid_box.append(threading.get_native_id())
        # Named before the parent hears of it: newer interpreters give each
        # thread a name of their own at start.
        set_thread_name(names[0])
        started.set()
        comm = "/proc/thread-self/comm"
        rounds = 0
        while not os.path.exists(stop):
            for name in names:
                if rounds % 2:
                    set_thread_name(name)
                else:
                    with open(comm, "wb") as f:
                        f.write(name)
            rounds += 1

    worker = threading.Thread(target=rename_loop, daemon=True)
    worker.start()
    started.wait()
    ready(tid_box[0])
    worker.join()


def mode_churn(stop: str, hex_name: str, env_bytes: str) -> None:
    """Keeps a few short-lived children going until STOP exists: each names
    itself, lives a few milliseconds, and either exits or runs a fresh image
    with a large environment of its own (through exec, so /proc shows it), so
    that a scan keeps meeting entries that vanish between the listing and the
    reads. Prints how many children it made."""
    name = bytes.fromhex(hex_name)
    big = "x" * int(env_bytes)
    count = live = 0
    started = False
    while not os.path.exists(stop):
        if count and not started:
            ready()  # the first children are under way
            started = True
        while live < CHURN_CHILDREN:
            pid = os.fork()
            if pid == 0:
                try:
                    set_thread_name(name)
                    time.sleep(random.uniform(0.0, 0.03))
                    if count % 2:
                        os.execve("/bin/sleep", ["/bin/sleep", "0.01"], {"PELLUN_CHURN": big})
                finally:
                    os._exit(0)
            count += 1
            live += 1
        os.waitpid(-1, 0)
        live -= 1
    while live:
        os.waitpid(-1, 0)
        live -= 1
    print(count, flush=True)


def mode_leader_exits(*_ignored: str) -> None:
    """The main thread ends while another thread runs on: the kernel keeps the
    thread-group leader as a zombie entry whose process is still alive."""
    def keep_alive() -> None:
        sleep_forever()

    worker = threading.Thread(target=keep_alive)
    worker.start()
    ready(threading.get_native_id(), worker.native_id)
    # pthread_exit on the main thread: the interpreter's own exit path would
    # wait for the worker, so leave the thread below Python instead.
    _libc.pthread_exit(None)


def map_zero_pages(gib: str) -> int | None:
    """Maps GIB GiB of zero pages, every page entry in place, so that each
    mprotect over them holds the address-space lock for write while it
    rewrites all of them. Prints "unsupported" with the reason and returns
    nothing where the kernel refuses."""
    prot_read = 1
    map_private, map_anonymous, map_noreserve = 0x02, 0x20, 0x4000
    madv_populate_read = 22  # Linux 5.14: maps the zero page everywhere at once
    size = int(gib) << 30
    _libc.mmap.restype = ctypes.c_void_p
    _libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                           ctypes.c_int, ctypes.c_long]
    _libc.madvise.argtypes = _libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t,
                                                        ctypes.c_int]
    at = _libc.mmap(None, size, prot_read, map_private | map_anonymous | map_noreserve, -1, 0)
    if at in (None, ctypes.c_void_p(-1).value):
        print("unsupported mmap", os.strerror(ctypes.get_errno()), flush=True)
        return None
    if _libc.madvise(at, size, madv_populate_read) != 0:
        print("unsupported madvise", os.strerror(ctypes.get_errno()), flush=True)
        return None
    return at


def mode_starved_holder(gib: str, execs: str = "0") -> None:
    """Two threads at the lowest priority (SCHED_IDLE) flip the protection of
    GIB GiB of zero pages, beside two threads that keep the CPUs busy, so
    each holds the address-space lock for as long as it waits for a CPU:
    seconds. Two, because a reader woken by one's release takes that one's
    CPU at once, mostly before it locks again; the other is queued for the
    lock by then, so a hold follows a hold. SIGUSR1 starts the flipping,
    SIGUSR2 makes the threads spin instead, and "holding" or "spinning" is
    printed once both do. With EXECS, that many more threads each keep a
    child exec'ing (see exec_forever), whichever the holders do. Prints
    "ready" or "unsupported" with the reason."""
    prot_read, prot_write = 1, 2
    holders = 2
    program = shutil.which("true")
    if int(execs) and not (program and getattr(subprocess, "_USE_VFORK", False)):
        print("unsupported no vfork, or no true to run", flush=True)
        return
    at = map_zero_pages(gib)
    if at is None:
        return
    size = int(gib) << 30
    holding = threading.Event()
    # The holders' policies, set before "ready": None once at SCHED_IDLE,
    # else why not (a thread that died there would leave the test waiting).
    idle: list[OSError | None] = []
    # How many holders have seen each change of `holding`; the test signals
    # the next change only after the last one was printed.
    seen = {True: 0, False: 0}
    guard = threading.Lock()
    policies_set = threading.Event()
    block = bytes(1 << 20)

    def busy() -> None:
        while True:
            hashlib.sha256(block).digest()  # hashes without the interpreter lock

    def holder() -> None:
        try:
            set_idle_policy()
            error = None
        except OSError as caught:
            error = caught
        with guard:
            idle.append(error)
            if len(idle) == holders:
                policies_set.set()
        if error is not None:
            return
        writable, told = 0, False
        while True:
            now = holding.is_set()
            if now != told:
                told = now
                with guard:
                    seen[now] += 1
                    if seen[now] % holders == 0:
                        print("holding" if now else "spinning", flush=True)
            if now:
                writable ^= prot_write
                _libc.mprotect(at, size, prot_read | writable)
            else:
                # Busy outside the interpreter lock, as in mprotect: the
                # other threads get the lock as often either way.
                hashlib.sha256(block).digest()

    signal.signal(signal.SIGUSR1, lambda *_: holding.set())
    signal.signal(signal.SIGUSR2, lambda *_: holding.clear())
    # The threads started below leave the signals to the main thread: one
    # delivered to another would wait for the main thread's sleep to end.
    switches = {signal.SIGUSR1, signal.SIGUSR2}
    signal.pthread_sigmask(signal.SIG_BLOCK, switches)
    for _ in range(holders):
        threading.Thread(target=holder, daemon=True).start()
    policies_set.wait()
    refused = next((error for error in idle if error is not None), None)
    if refused is not None:
        print("unsupported SCHED_IDLE", refused.strerror, flush=True)
        return
    for work in (busy, busy):
        threading.Thread(target=work, daemon=True).start()
    for _ in range(int(execs)):
        threading.Thread(target=exec_forever, args=(program,), daemon=True).start()
    signal.pthread_sigmask(signal.SIG_UNBLOCK, switches)
    ready()
    sleep_forever()


def exec_forever(program: str) -> None:
    """Runs PROGRAM over and over, from a child that shares this process's
    address space until its exec replaces it (subprocess starts it with
    vfork). An exec holds the child's exec lock from the moment it lets go
    of the old address space until the new program is set up, and letting
    go waits for that address space's lock: while the holders hold it, the
    child holds its exec lock for seconds, and every read of its "stat",
    "io", "exe", "cwd" or "root" waits as long, beyond any SIGINT. A working
    directory keeps subprocess from posix_spawn, whose stack glibc maps
    afresh each time: a wait for the address-space lock outside the window."""
    while True:
        subprocess.run([program], stdin=subprocess.DEVNULL, cwd="/", check=False)


def mode_lock_storm(gib: str) -> None:
    """Keeps this process's address-space lock busy, as any user may: a large
    region of zero pages has its protection flipped in a loop, and each
    mprotect holds the lock for write while it rewrites every page entry.
    SIGUSR1 starts the storm and SIGUSR2 ends it; meanwhile the process spins
    without the lock, so the CPU is as busy either way. Until the first
    signal it sleeps: the storms start one after another, and each start
    would otherwise wait for a core behind every storm already spinning
    (a free-threaded interpreter's start, which yields its core on a lock
    it holds itself, waited seconds each). Prints "ready" or "unsupported"
    with the reason, then "storming" or "spinning" at each change, once a
    hold under way has ended."""
    prot_read, prot_write = 1, 2
    at = map_zero_pages(gib)
    if at is None:
        return
    size = int(gib) << 30
    # Plain flags: a handler runs in the main thread between any two of its
    # steps, so one that took a lock (an Event's set()) could find it held
    # by the very wait it interrupted, and wait for itself for good.
    storming, signalled = [False], [False]

    def on_signal(storm: bool) -> None:
        storming[0] = storm
        signalled[0] = True

    signal.signal(signal.SIGUSR1, lambda *_: on_signal(True))
    signal.signal(signal.SIGUSR2, lambda *_: on_signal(False))
    ready()
    while not signalled[0]:
        time.sleep(0.01)
    writable, told = 0, False
    while True:
        now = storming[0]
        if now != told:
            print("storming" if now else "spinning", flush=True)
            told = now
        if now:
            writable ^= prot_write
            _libc.mprotect(at, size, prot_read | writable)
        else:
            sum(range(10_000))


def become(user: str) -> None:
    """Goes on as USER, every id of it, as that user's own programs run;
    the interpreter and this file may lie where USER could not reach."""
    entry = pwd.getpwnam(user)
    os.setgroups([])
    os.setresgid(entry.pw_gid, entry.pw_gid, entry.pw_gid)
    os.setresuid(entry.pw_uid, entry.pw_uid, entry.pw_uid)
    # A change of ids leaves the process undumpable, its /proc files root's;
    # a program started by that user would be dumpable.
    if _libc.prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_DUMPABLE)")


MODES = {
    "named": mode_named,
    "named-exit": mode_named_exit,
    "sleep": mode_sleep,
    "threads": mode_threads,
    "blank-threads": mode_blank_threads,
    "renaming-thread": mode_renaming_thread,
    "churn": mode_churn,
    "leader-exits": mode_leader_exits,
    "lock-storm": mode_lock_storm,
    "starved-holder": mode_starved_holder,
}

if __name__ == "__main__":
    if os.environ.get("PELLUN_HELPER_USER"):
        become(os.environ["PELLUN_HELPER_USER"])
    MODES[sys.argv[1]](*sys.argv[2:])
