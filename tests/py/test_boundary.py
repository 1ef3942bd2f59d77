"""How a call through the native boundary ends, seen from Python: results,
errors, panics turned into PanicException, fault reports on standard error,
deferred reference releases and the once-only cells."""

import ctypes
import gc
import io
import re
import signal
import sys
import threading
import time
import unicodedata
import weakref

import pytest

import pellun_core

FALLBACK_LENGTH = 20
LIKE_SYSTEM_EXIT = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
# Unicode categories a quoted text escapes.
NOT_PRINTABLE = {"Cc", "Cf", "Zs", "Zl", "Zp", "Co"}
FAULT_REPORT = re.compile(r"^thread '[^']*' \(\d+\) panicked at [^\n]+:\d+:\d+:$", re.M)


def panic_exception_type(testext):
    try:
        testext.panic_text("only here to get the type")
    except BaseException as caught:  # noqa: BLE001 - PanicException is no Exception
        return type(caught)
    raise AssertionError("panic_text returned")


def quote_like_the_boundary(text: str) -> str:
    """Reference quoting of a text as a double-quoted literal: controls,
    format characters, separators other than the blank, private use and
    noncharacters are not printable."""
    simple = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
    out = []
    for ch in text:
        if ch in simple:
            out.append(simple[ch])
        elif not printable(ch):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def printable(ch: str) -> bool:
    cp = ord(ch)
    noncharacter = 0xFDD0 <= cp <= 0xFDEF or cp & 0xFFFE == 0xFFFE
    return not noncharacter and (ch == " " or unicodedata.category(ch) not in NOT_PRINTABLE)


def every_escaped_code_point() -> str:
    """Each code point the boundary escapes but NUL (which no filename
    holds), by the interpreter's tables; of the long private-use runs only
    their ends."""
    runs: list[list[int]] = []
    for cp in range(1, 0x110000):
        if 0xD800 <= cp <= 0xDFFF or printable(chr(cp)):
            continue
        if runs and runs[-1][1] == cp - 1:
            runs[-1][1] = cp
        else:
            runs.append([cp, cp])
    return "".join(chr(cp) for first, last in runs
                   for cp in ((first, last) if last - first > 256 else range(first, last + 1)))


def traceback_print(tb) -> str:
    """What the interpreter's PyTraceBack_Print writes for `tb`."""
    api = ctypes.PyDLL(None)
    api.PyTraceBack_Print.argtypes = [ctypes.py_object, ctypes.py_object]
    api.PyTraceBack_Print.restype = ctypes.c_int
    buffer = io.StringIO()
    assert api.PyTraceBack_Print(tb, buffer) == 0
    return buffer.getvalue()


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# --- results and errors ------------------------------------------------------


class TestResults:
    def test_real_functions_return_their_objects(self):
        report = pellun_core.get_memory_mb()
        assert type(report) is dict
        assert set(report) == {"ram_used_mb", "ram_total_mb", "ram_percent"}
        assert all(type(v) is float for v in report.values())
        cpu = pellun_core.get_cpu_percent()
        assert type(cpu) is float and 0.0 <= cpu <= 100.0

    def test_body_on_a_host_tree(self, testext, tmp_path):
        # 2048 kB total, 1024 kB available: 2 MiB total, 1 MiB in use.
        (tmp_path / "proc").mkdir()
        (tmp_path / "sys").mkdir()
        (tmp_path / "proc" / "meminfo").write_text(
            "MemTotal:           2048 kB\nMemFree:             512 kB\nMemAvailable:       1024 kB\n"
        )
        (tmp_path / "proc" / "stat").write_text("cpu  1 0 1 8 0 0 0 0 0 0\n")
        assert testext.get_memory_mb_at(str(tmp_path)) == {
            "ram_used_mb": 1.0,
            "ram_total_mb": 2.0,
            "ram_percent": 50.0,
        }
        assert type(testext.get_cpu_percent_at(str(tmp_path))) is float

    def test_body_error_is_raised_unchanged(self, testext):
        raised = ValueError("from the callable")

        def fail():
            raise raised

        with pytest.raises(ValueError) as info:
            testext.call(fail)
        assert info.value is raised
        assert info.value.__traceback__ is not None

    def test_nothing_pending_is_a_system_error(self, testext):
        with pytest.raises(SystemError) as info:
            testext.fetch_nothing()
        assert str(info.value) == "attempted to fetch exception but none was set"

    @pytest.mark.parametrize("not_an_exception", [int, 42, None, "ValueError", type])
    def test_lazy_type_that_is_not_an_exception_class(self, testext, not_an_exception):
        with pytest.raises(TypeError) as info:
            testext.lazy_error(not_an_exception, "ignored")
        assert str(info.value) == "exceptions must derive from BaseException"

    def test_lazy_error_of_an_exception_class(self, testext):
        with pytest.raises(KeyError) as info:
            testext.lazy_error(KeyError, "k")
        assert info.value.args == ("k",)

    def test_attach_count_is_back_after_every_kind_of_end(self, testext):
        assert testext.attach_count() == 1
        with pytest.raises(panic_exception_type(testext)):
            testext.panic_text("x")
        with pytest.raises(SystemError):
            testext.fetch_nothing()
        testext.describe_lazy(ValueError, "v")
        assert testext.attach_count() == 1


# --- panics ----------------------------------------------------------------


class TestPanics:
    def test_text_panic_becomes_panic_exception(self, testext):
        with pytest.raises(BaseException) as info:
            try:
                testext.panic_text("it broke: \u00e9")
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        error = info.value
        assert str(error) == "it broke: \u00e9"
        assert error.args == ("it broke: \u00e9",)
        assert not isinstance(error, Exception)

    def test_panic_exception_type(self, testext):
        first = panic_exception_type(testext)
        second = panic_exception_type(testext)
        assert first is second
        assert first.__module__ == "pyo3_runtime"
        assert first.__name__ == first.__qualname__ == "PanicException"
        assert first.__bases__ == (BaseException,)
        # Not bound anywhere: no module of that name, not in pellun_core.
        assert "pyo3_runtime" not in sys.modules
        assert not any(v is first for v in vars(pellun_core).values())
        doc = first.__doc__
        assert doc.startswith("\n") and doc.endswith("\n\n" + LIKE_SYSTEM_EXIT)
        sentence = doc[1 : -len("\n\n" + LIKE_SYSTEM_EXIT)]
        assert sentence and "\n" not in sentence

    def test_static_text_payload(self, testext):
        with pytest.raises(BaseException) as info:
            testext.panic_static()
        assert str(info.value) == "a static text payload"
        assert type(info.value) is panic_exception_type(testext)

    def test_payload_that_is_not_text_gives_the_fallback(self, testext):
        with pytest.raises(BaseException) as info:
            testext.panic_int()
        assert type(info.value) is panic_exception_type(testext)
        (message,) = info.value.args
        assert isinstance(message, str) and len(message) == FALLBACK_LENGTH

    def test_unhandled_cpp_exception_is_a_panic(self, testext):
        with pytest.raises(BaseException) as info:
            testext.throw_std_exception("vector::at")
        assert type(info.value) is panic_exception_type(testext)
        assert str(info.value) == "vector::at"

    def test_fault_report_on_stderr(self, run_python):
        done = run_python(
            """
            import _pellun_testext as t
            try:
                t.panic_text("first line\\nsecond line")
            except BaseException as e:
                print(type(e).__name__, repr(str(e)))
            print(open("/proc/thread-self/comm").read().strip())
            """
        )
        assert done.returncode == 0, done.stderr
        raised, thread = done.stdout.splitlines()
        assert raised == "PanicException 'first line\\nsecond line'"
        reports = FAULT_REPORT.findall(done.stderr)
        assert len(reports) == 1
        # The thread as the kernel names it.
        assert reports[0].startswith(f"thread '{thread}' ("), reports[0]
        assert "testext.cpp:" in reports[0]
        assert done.stderr.endswith(reports[0] + "\nfirst line\nsecond line\n")

    def test_poisoned_mutex_panics_on_later_lock(self, testext):
        with pytest.raises(BaseException) as info:
            testext.poisoned_mutex()
        assert type(info.value) is panic_exception_type(testext)
        assert "poisoned" in str(info.value)


class TestNullObjects:
    def test_pending_error_goes_to_unraisable_hook_first(self, testext, unraisable):
        pending = MemoryError("no room")
        with pytest.raises(BaseException) as info:
            testext.fail_create(pending)
        assert str(info.value) == "PyObject pointer is null"
        assert type(info.value) is panic_exception_type(testext)
        assert len(unraisable) == 1
        assert unraisable[0].exc_value is pending
        assert unraisable[0].object is None

    def test_failed_float_creation(self, testext, unraisable):
        with pytest.raises(BaseException) as info:
            testext.fail_float()
        assert str(info.value) == "PyObject pointer is null"
        assert [type(u.exc_value) for u in unraisable] == [MemoryError]

    def test_null_without_pending_error(self, testext, unraisable):
        with pytest.raises(BaseException) as info:
            testext.fail_create(None)
        assert str(info.value) == "PyObject pointer is null"
        assert unraisable == []

    def test_unraisable_output_precedes_the_panic(self, run_python):
        done = run_python(
            """
            import sys, _pellun_testext as t
            try:
                t.fail_create(MemoryError("no room"))
            except BaseException as e:
                print(str(e))
            """
        )
        assert done.stdout == "PyObject pointer is null\n"
        unraisable_at = done.stderr.index("MemoryError: no room")
        report_at = done.stderr.index("panicked at")
        assert unraisable_at < report_at
        assert done.stderr.rstrip().endswith("PyObject pointer is null")


# --- PanicException coming back into native code -------------------------------


RESUME_SCRIPT = """
import sys, _pellun_testext as t
try:
    t.panic_text("get the type")
except BaseException as e:
    P = type(e)
sys.stderr.write("=== MARK ===\\n"); sys.stderr.flush()
original = {original}
def raise_it():
    raise original
try:
    t.call(raise_it)
except BaseException as e:
    print(type(e) is P, e is not original, repr(str(e)), e.args == (str(e),))
"""


class TestResumedPanics:
    def run(self, run_python, original):
        done = run_python(RESUME_SCRIPT.format(original=original))
        assert done.returncode == 0, done.stderr
        return done.stdout, done.stderr.split("=== MARK ===\n", 1)[1]

    def test_banner_traceback_and_same_message(self, run_python):
        stdout, stderr = self.run(run_python, 'P("boom")')
        assert stdout == "True True 'boom' True\n"
        lines = stderr.splitlines()
        assert lines[0].startswith("--- ") and lines[0].endswith(" ---")
        assert "PanicException" in lines[0]
        assert lines[1] == "Python stack trace below:"
        assert lines[2] == "Traceback (most recent call last):"
        assert "in raise_it" in stderr
        assert lines[-1] == "pyo3_runtime.PanicException: boom"
        # The resumed panic writes no fault report of its own.
        assert "panicked at" not in stderr

    def test_message_when_str_fails(self, run_python):
        stdout, stderr = self.run(
            run_python,
            'P(type("Bad", (), {"__str__": lambda self: 1 / 0})())',
        )
        assert stdout == "True True 'Unwrapped panic from Python code' True\n"
        assert stderr.splitlines()[1] == "Python stack trace below:"

    def test_message_is_converted_lossily(self, run_python):
        stdout, _ = self.run(run_python, 'P("a\\ud800b")')
        assert stdout == "True True 'a\ufffd\ufffd\ufffdb' True\n"

    def test_subclass_is_an_ordinary_error(self, run_python):
        done = run_python(
            """
            import sys, _pellun_testext as t
            try:
                t.panic_text("get the type")
            except BaseException as e:
                P = type(e)
            sys.stderr.write("=== MARK ===\\n")
            class Sub(P):
                pass
            original = Sub("sub")
            def raise_it():
                raise original
            try:
                t.call(raise_it)
            except BaseException as e:
                print(e is original)
            """
        )
        assert done.stdout == "True\n"
        assert done.stderr.split("=== MARK ===\n", 1)[1] == ""


def test_panic_during_handover_aborts(run_python):
    done = run_python(
        """
        import _pellun_testext as t
        t.panic_in_handover()
        print("survived")
        """
    )
    assert done.returncode == -signal.SIGABRT
    assert "survived" not in done.stdout
    assert "the error's producer failed" in done.stderr
    assert "uncaught panic at ffi boundary" in done.stderr
    # Both faults are reported, the producer's first.
    assert len(FAULT_REPORT.findall(done.stderr)) == 2
    assert done.stderr.index("producer failed") < done.stderr.index("uncaught panic")


# --- the error description -------------------------------------------------------


class TestDescription:
    def test_without_traceback(self, testext):
        error = ValueError("it's \"quoted\"")
        assert testext.describe(error) == (
            f"PyErr {{ type: {type(error)!r}, value: {error!r}, traceback: None }}"
        )

    def test_lazy_error_is_normalised(self, testext):
        text, count = testext.describe_lazy(KeyError, "k")
        assert text == "PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: None }"
        assert count == 1
        text, _ = testext.describe_lazy(3, "x")
        assert text.startswith("PyErr { type: <class 'TypeError'>, ")
        assert "exceptions must derive from BaseException" in text

    def test_description_attaches_a_thread_that_is_not_attached(self, testext):
        text, count_after = testext.describe_on_thread(OSError, "elsewhere")
        assert text == "PyErr { type: <class 'OSError'>, value: OSError('elsewhere'), traceback: None }"
        assert count_after == 0

    def test_traceback_is_quoted_and_escaped(self, testext):
        # Beside controls: noncharacters, an invisible format character, a
        # private-use one and a blank other than the space.
        filename = 'we"ird\\na\tme\r\x01\u0085\u00e9\ufffe\ufdd0\u200b\ue000\u00a0.py'
        code = compile("def f():\n    raise ValueError('v')\n", filename, "exec")
        namespace = {}
        exec(code, namespace)
        f = namespace["f"]
        f.__code__ = f.__code__.replace(co_name="nul\x00name")
        try:
            f()
        except ValueError as caught:
            error = caught
        text = testext.describe(error)
        expected_tb = quote_like_the_boundary(traceback_print(error.__traceback__))
        assert text == (
            f"PyErr {{ type: <class 'ValueError'>, value: {error!r}, traceback: Some({expected_tb}) }}"
        )
        # The escapes themselves, spelled out.
        assert 'Some("Traceback (most recent call last):\\n  File \\"' in text
        assert 'we\\"ird\\\\na\\tme\\r\\u{1}\\u{85}\u00e9\\u{fffe}\\u{fdd0}\\u{200b}\\u{e000}\\u{a0}.py\\"' in text
        assert "in nul\\0name\\n" in text

        # Every run of code points escaped, DEL and the bidirectional
        # overrides among them, each code point of the short runs.
        escaped = every_escaped_code_point()
        try:
            exec(compile("raise ValueError('w')\n", escaped, "exec"), {})
        except ValueError as caught:
            error = caught
        expected_tb = quote_like_the_boundary(traceback_print(error.__traceback__))
        text = testext.describe(error)
        assert text == (
            f"PyErr {{ type: <class 'ValueError'>, value: {error!r}, traceback: Some({expected_tb}) }}"
        )
        assert "\\u{7f}" in text and "\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{202e}" in text

    def test_unprintable_value(self, testext, unraisable):
        class Unprintable(Exception):
            def __repr__(self):
                raise RuntimeError("no repr")

        error = Unprintable()
        text = testext.describe(error)
        assert "value: <unprintable Unprintable object>," in text
        assert [(type(u.exc_value), u.object) for u in unraisable] == [(RuntimeError, error)]

    def test_unprintable_type(self, testext, unraisable):
        class Meta(type):
            def __repr__(cls):
                raise RuntimeError("no repr")

        class Odd(Exception, metaclass=Meta):
            pass

        text = testext.describe(Odd())
        assert text.startswith("PyErr { type: <unprintable Meta object>, value: Odd(), ")
        assert unraisable[0].object is Odd

    def test_unformattable_traceback(self, testext, unraisable, monkeypatch):
        try:
            raise ValueError("v")
        except ValueError as caught:
            error = caught

        def broken_string_io():
            raise OSError("no buffer")

        monkeypatch.setattr(io, "StringIO", broken_string_io)
        text = testext.describe(error)
        monkeypatch.undo()
        tb = error.__traceback__
        assert text.endswith(f'traceback: Some("<unformattable {tb!r}>") }}')
        assert [(type(u.exc_value), u.object) for u in unraisable] == [(OSError, tb)]


# --- deferred releases -------------------------------------------------------------


class TestDeferredRelease:
    def test_released_at_the_next_entry_in_order(self, testext):
        class Thing:
            pass

        released = []
        things = [Thing() for _ in range(6)]
        refs = [weakref.ref(t, lambda _r, i=i: released.append(i)) for i, t in enumerate(things)]
        testext.drop_elsewhere(*things)
        del things
        gc.collect()
        # Our references are gone, the worker's wait in the pool.
        assert all(r() is not None for r in refs)
        assert released == []
        time.sleep(0.05)
        assert all(r() is not None for r in refs)
        testext.attach_count()  # any entry drains the pool
        assert released == list(range(6))
        assert all(r() is None for r in refs)


# --- once-only cells ----------------------------------------------------------------


class TestOnceCells:
    def test_made_once_and_kept(self, testext):
        made = object()
        assert testext.once_cell(0, lambda: made) is made
        assert testext.once_cell(0, lambda: pytest.fail("ran twice")) is made

    def test_failed_initialiser_leaves_the_cell_incomplete(self, testext):
        def fail():
            raise LookupError("not yet")

        with pytest.raises(BaseException) as info:
            testext.once_cell(1, fail)
        assert str(info.value).startswith("initialiser failed: PyErr { type: <class 'LookupError'>")
        later = object()
        assert testext.once_cell(1, lambda: later) is later

    def test_reentrant_initialiser_panics_instead_of_hanging(self, testext):
        with pytest.raises(BaseException) as info:
            testext.once_cell(2, lambda: testext.once_cell(2, object))
        assert "re-entrantly" in str(info.value)

    def test_one_initialiser_while_others_wait_detached(self, testext):
        # A waiter that kept the interpreter lock would stop the initialiser
        # from finishing: the joins would time out with results missing.
        calls = []
        made = object()

        def slow():
            calls.append(threading.get_ident())
            time.sleep(0.2)
            return made

        results = []
        threads = [
            threading.Thread(target=lambda: results.append(testext.once_cell(3, slow)), daemon=True)
            for _ in range(4)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=30)
        assert len(calls) == 1
        assert results == [made] * 4

    def test_waiters_retry_after_a_failed_initialiser(self, testext):
        attempts = []
        made = object()
        started = threading.Event()

        def first():
            attempts.append("first")
            started.set()
            time.sleep(0.2)
            raise LookupError("first fails")

        def second():
            attempts.append("second")
            return made

        outcome = {}

        def run_first():
            try:
                testext.once_cell(4, first)
            except BaseException as e:  # noqa: BLE001
                outcome["first"] = e

        one = threading.Thread(target=run_first, daemon=True)
        one.start()
        started.wait(10)
        two = threading.Thread(
            target=lambda: outcome.__setitem__("second", testext.once_cell(4, second)), daemon=True
        )
        two.start()
        one.join(30)
        two.join(30)
        assert attempts == ["first", "second"]
        assert outcome["second"] is made
        assert "first fails" in str(outcome["first"])
