"""The memory report's dictionary step when the interpreter refuses a store:
the caller gets the error and never a partly filled dictionary."""

import gc

import pytest


class TrackedDict(dict):
    """A dict that can be weakly referenced, to see that it was released."""


@pytest.mark.parametrize("fail_at", [0, 1, 2])
def test_failed_store_raises_and_releases_the_dictionary(testext, fail_at):
    refs: list = []
    with pytest.raises(MemoryError):
        testext.memory_dict_failing_store(TrackedDict, fail_at, True, refs)
    assert len(refs) == 1
    gc.collect()
    assert refs[0]() is None, "the partly filled dictionary is still alive"


def test_failed_store_without_a_pending_error_is_a_system_error(testext):
    refs: list = []
    with pytest.raises(SystemError, match="^attempted to fetch exception but none was set$"):
        testext.memory_dict_failing_store(TrackedDict, 1, False, refs)
    gc.collect()
    assert refs[0]() is None


def test_stores_that_succeed_give_the_three_figures(testext):
    refs: list = []
    result = testext.memory_dict_failing_store(TrackedDict, 99, True, refs)
    assert type(result) is TrackedDict
    assert result == {"ram_used_mb": 2972.6, "ram_total_mb": 7855.4, "ram_percent": 37.8}
    assert refs[0]() is result
