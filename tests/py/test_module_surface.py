"""The module as Python sees it: its attributes and functions, and its
execution step run again on the same and on fresh module objects."""

import ctypes
import inspect
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

import pellun_core

INTERPRETER_SET = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
FUNCTIONS = ["get_memory_mb", "get_cpu_percent"]


def exec_definition(module):
    """Runs pellun_core's definition on `module`, as the import machinery
    would but without its skip of an already executed module."""
    api = ctypes.PyDLL(None)
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    return api.PyModule_ExecDef(module, api.PyModule_GetDef(pellun_core))


class TestSurface:
    def test_namespace(self):
        assert pellun_core.__all__ == ["get_cpu_percent", "get_memory_mb"]
        assert type(pellun_core.__all__) is list
        assert pellun_core.__doc__ == ""
        assert set(vars(pellun_core)) - INTERPRETER_SET == {"__all__", *FUNCTIONS}

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_function_attributes(self, name):
        function = getattr(pellun_core, name)
        assert type(function) is types.BuiltinFunctionType
        assert function.__name__ == function.__qualname__ == name
        assert function.__module__ == pellun_core.__name__
        assert function.__self__ is None
        assert function.__text_signature__ == "()"
        assert function.__doc__ is None
        assert inspect.signature(function).parameters == {}
        assert repr(function) == f"<built-in function {name}>"

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_arguments_are_refused_by_the_interpreter(self, name):
        function = getattr(pellun_core, name)
        with pytest.raises(TypeError, match=rf"^(pellun_core\.)?{name}\(\) takes no arguments \(1 given\)$"):
            function(1)
        with pytest.raises(TypeError, match=rf"^(pellun_core\.)?{name}\(\) takes no keyword arguments$"):
            function(x=1)


# The object header's size differs between builds (twice as large on a
# free-threaded interpreter); the fields after it follow at that offset.
OBJECT_HEADER = object.__basicsize__


class PyModuleDefView(ctypes.Structure):
    _fields_ = [
        ("ob_header", ctypes.c_char * OBJECT_HEADER),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.c_void_p),
        ("m_traverse", ctypes.c_void_p),
        ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]


class SlotView(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class MethodDefView(ctypes.Structure):
    _fields_ = [
        ("ml_name", ctypes.c_char_p),
        ("ml_meth", ctypes.c_void_p),
        ("ml_flags", ctypes.c_int),
        ("ml_doc", ctypes.c_char_p),
    ]


def method_record(function) -> int:
    """The address of the method record behind a built-in function: the
    first field after the object header."""
    return ctypes.c_void_p.from_address(id(function) + OBJECT_HEADER).value


class TestDefinition:
    def test_module_definition_and_slots(self):
        api = ctypes.PyDLL(None)
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.POINTER(PyModuleDefView)
        definition = api.PyModule_GetDef(pellun_core).contents
        assert definition.m_name == b"pellun_core"
        assert definition.m_doc == b""
        assert definition.m_size == 0
        assert definition.m_methods is None
        assert (definition.m_traverse, definition.m_clear, definition.m_free) == (None, None, None)
        slots = (SlotView * 3).from_address(definition.m_slots)
        # exec, gil, end. CPython 3.15's headers give the two slots new ids
        # (85, 87) and still accept the old ones (2, 4), which the earlier
        # headers give: either generation, not a mix.
        assert [s.slot for s in slots] in ([2, 4, 0], [85, 87, 0])
        assert slots[0].value is not None
        assert slots[1].value == 1  # Py_MOD_GIL_NOT_USED
        assert slots[2].value is None

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_method_records_are_static_and_shared(self, name):
        record_address = method_record(getattr(pellun_core, name))
        record = MethodDefView.from_address(record_address)
        assert record.ml_name == name.encode()
        assert record.ml_flags == 0x24  # METH_NOARGS | METH_STATIC
        assert record.ml_doc == f"{name}()\n--\n\n".encode()
        fresh = types.ModuleType("other")
        exec_definition(fresh)
        assert method_record(getattr(fresh, name)) == record_address


class TestExecutionStep:
    def test_fresh_module(self):
        module = types.ModuleType("fresh_name")
        assert exec_definition(module) == 0
        assert module.__all__ == ["get_cpu_percent", "get_memory_mb"]
        assert module.get_memory_mb.__module__ == "fresh_name"
        assert module.get_cpu_percent is not pellun_core.get_cpu_percent
        assert type(module.get_cpu_percent()) is float

    def test_second_execution_appends_and_rebinds(self):
        module = types.ModuleType("twice")
        exec_definition(module)
        first_all = module.__all__
        first = (module.get_cpu_percent, module.get_memory_mb)
        module.__name__ = "renamed"
        assert exec_definition(module) == 0
        assert module.__all__ is first_all
        assert module.__all__ == ["get_cpu_percent", "get_memory_mb"] * 2
        assert module.get_cpu_percent is not first[0]
        assert module.get_memory_mb is not first[1]
        assert module.get_memory_mb.__module__ == "renamed"

    def test_all_preset_to_a_tuple(self):
        module = types.ModuleType("tuple_all")
        module.__all__ = ("x",)
        with pytest.raises(TypeError) as info:
            exec_definition(module)
        assert str(info.value) == "'tuple' object is not an instance of 'list'"
        assert module.__all__ == ("x",)
        assert not hasattr(module, "get_cpu_percent") and not hasattr(module, "get_memory_mb")

    def test_all_list_subclass_is_appended_to(self):
        class Names(list):
            pass

        module = types.ModuleType("subclass_all")
        names = Names(["already"])
        module.__all__ = names
        exec_definition(module)
        assert module.__all__ is names
        assert names == ["already", "get_cpu_percent", "get_memory_mb"]

    def test_attribute_error_subclass_gives_a_fresh_list(self):
        class Missing(AttributeError):
            pass

        class Odd(types.ModuleType):
            def __getattr__(self, name):
                raise Missing(name)

        module = Odd("odd")
        exec_definition(module)
        assert type(vars(module)["__all__"]) is list
        assert module.__all__ == ["get_cpu_percent", "get_memory_mb"]

    def test_lookup_that_always_fails_gives_a_fresh_list_each_time(self):
        class Missing(AttributeError):
            pass

        class Odd(types.ModuleType):
            def __getattribute__(self, name):
                if name == "__all__":
                    raise Missing(name)
                return super().__getattribute__(name)

        module = Odd("odd")
        module.__all__ = "hidden by the lookup"
        exec_definition(module)
        # Each function's name went into a list of its own; the last stays.
        assert vars(module)["__all__"] == ["get_memory_mb"]
        assert callable(module.get_cpu_percent) and callable(module.get_memory_mb)

    def test_attribute_error_subclass_via_class_assignment(self):
        class Missing(AttributeError):
            pass

        class Odd(types.ModuleType):
            def __getattr__(self, name):
                raise Missing(name)

        module = types.ModuleType("reclassed")
        module.__class__ = Odd
        exec_definition(module)
        assert vars(module)["__all__"] == ["get_cpu_percent", "get_memory_mb"]

    @pytest.mark.parametrize("hook", ["__getattr__", "__getattribute__"])
    def test_other_lookup_error_propagates_unchanged(self, hook):
        raised = KeyError("__all__ lookup")

        def lookup(self, name):
            if name == "__all__":
                raise raised
            return types.ModuleType.__getattribute__(self, name)

        module = types.ModuleType("failing")
        module.__class__ = type("Failing", (types.ModuleType,), {hook: lookup})
        with pytest.raises(KeyError) as info:
            exec_definition(module)
        assert info.value is raised
        assert "get_cpu_percent" not in vars(module)

    def test_binding_a_new_all_fails(self):
        raised = PermissionError("no __all__ here")

        class Guarded(types.ModuleType):
            def __setattr__(self, name, value):
                if name == "__all__":
                    raise raised
                super().__setattr__(name, value)

        with pytest.raises(PermissionError) as info:
            exec_definition(Guarded("guarded"))
        assert info.value is raised

    def test_binding_a_function_fails_after_its_name_was_recorded(self):
        class Guarded(types.ModuleType):
            def __setattr__(self, name, value):
                if name == "get_memory_mb":
                    raise PermissionError(name)
                super().__setattr__(name, value)

        module = Guarded("guarded")
        with pytest.raises(PermissionError, match="get_memory_mb"):
            exec_definition(module)
        # The CPU function, added first, stays; both names are in __all__.
        assert module.__all__ == ["get_cpu_percent", "get_memory_mb"]
        assert callable(module.get_cpu_percent)
        assert "get_memory_mb" not in vars(module)


class TestExecutionStepEdges:
    """Cases that the import machinery never produces, reached by calling
    the definition's execution slot directly."""

    def test_null_module_with_a_pending_exception(self, testext):
        pending = LookupError("pending before the step")
        with pytest.raises(LookupError) as info:
            testext.exec_slot_null(pellun_core, pending)
        assert info.value is pending

    def test_null_module_without_a_pending_exception(self, testext):
        with pytest.raises(SystemError) as info:
            testext.exec_slot_null(pellun_core, None)
        assert str(info.value) == "attempted to fetch exception but none was set"

    @pytest.mark.parametrize(
        "target, message",
        [
            (42, "'int' object is not an instance of 'module'"),
            (None, "'None' is not an instance of 'module'"),
            ({}, "'dict' object is not an instance of 'module'"),
        ],
    )
    def test_not_a_module(self, testext, target, message):
        with pytest.raises(TypeError) as info:
            testext.exec_slot(pellun_core, target)
        assert str(info.value) == message

    def test_type_name_with_a_lone_surrogate(self, testext):
        Odd = type("Odd", (), {})
        Odd.__qualname__ = "Odd\ud800"
        with pytest.raises(TypeError) as info:
            testext.exec_slot(pellun_core, Odd())
        assert str(info.value) == "'Odd\ufffd\ufffd\ufffd' object is not an instance of 'module'"

    def test_module_subclass_is_accepted(self, testext):
        module = type("Sub", (types.ModuleType,), {})("sub")
        testext.exec_slot(pellun_core, module)
        assert module.__all__ == ["get_cpu_percent", "get_memory_mb"]

    @pytest.mark.parametrize("name", [None, 7])
    def test_module_without_a_usable_name(self, testext, name):
        module = types.ModuleType("nameless")
        if name is None:
            del module.__name__
        else:
            module.__name__ = name
        with pytest.raises(SystemError, match="nameless module"):
            testext.exec_slot(pellun_core, module)
        assert "get_cpu_percent" not in vars(module)

    def test_function_name_missing_or_not_a_str(self, testext):
        module = types.ModuleType("target")
        with pytest.raises(AttributeError):
            testext.add_function(module, object())
        with pytest.raises(TypeError) as info:
            testext.add_function(module, types.SimpleNamespace(__name__=5))
        assert str(info.value) == "'int' object is not an instance of 'str'"
        assert not hasattr(module, "__all__") or module.__all__ == []

    def test_failed_append_is_a_panic_with_the_error_description(self, testext):
        with pytest.raises(BaseException) as info:
            testext.append_to_all(("not", "a", "list"), "name")
        message = str(info.value)
        assert type(info.value).__name__ == "PanicException"
        prefix = "could not append __name__ to __all__: PyErr { type: <class 'SystemError'>, value: SystemError("
        assert message.startswith(prefix)
        assert message.endswith("bad argument to internal function'), traceback: None }")


def test_import_starts_no_thread_and_reads_no_file(tmp_path):
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    log = tmp_path / "trace"
    script = textwrap.dedent(
        """
        import importlib.util, os
        importlib.util.find_spec("pellun_core")  # the path lookups happen here
        os.path.exists("/pellun-import-begins")
        import pellun_core
        os.path.exists("/pellun-import-ends")
        """
    )
    calls = "trace=openat,open,clone,clone3,fork,vfork,stat,newfstatat,statx"
    done = subprocess.run(
        [strace, "-f", "-qq", "-e", calls, "-o", str(log), sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    trace = log.read_text()
    begin = trace.index("/pellun-import-begins")
    end = trace.index("/pellun-import-ends")
    during = [line for line in trace[begin:end].splitlines()[1:] if line.strip()]
    assert not [line for line in during if "clone" in line or "fork" in line]
    opened = [line for line in during if "open" in line and "O_DIRECTORY" not in line]
    # Loading the shared object and its libraries is the dynamic loader's
    # work; nothing else may be opened.
    for line in opened:
        path = line.split('"')[1]
        assert path.endswith(".so") or ".so." in path or path == "/etc/ld.so.cache", line
    assert any("pellun_core" in line for line in opened)
