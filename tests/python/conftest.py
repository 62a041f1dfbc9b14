"""Shared helpers for the tests of the native module."""

import hashlib
import os
import signal
import time

import numpy as np
import pytest

from quillmarten import _lib


def find_function(name):
    """The registered function `name` from whichever submodule holds it, or None."""
    for sub in _lib.__all__[1:]:
        fn = getattr(getattr(_lib, sub), name, None)
        if fn is not None:
            return fn
    return None


def raised(call, *args, **kwargs):
    """Runs call(*args, **kwargs) and returns the exception it raised (failing if none)."""
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - faults derive from BaseException
        return exc
    pytest.fail(f"{getattr(call, '__name__', call)} raised nothing")


def notes(exc):
    return getattr(exc, "__notes__", None)


def assert_error(exc, kind, text=None, note=None):
    """Checks a raised exception: its exact class, its message when `text` is
    given, and the note naming the argument being converted (none when `note` is None)."""
    assert type(exc) is kind, repr(exc)
    assert text is None or str(exc) == text
    assert notes(exc) == (None if note is None else [f"while processing '{note}'"])


def assert_bits_equal(got, want):
    """Equal to the bit (so 0.0 and -0.0 differ); any NaN matches any NaN."""
    assert got.dtype == np.float64 and got.shape == want.shape
    nan = np.isnan(want)
    np.testing.assert_array_equal(np.isnan(got), nan)
    np.testing.assert_array_equal(got[~nan].view(np.uint64), want[~nan].view(np.uint64))


def assert_panics(call, *args, text=None, **kwargs):
    """Checks that a call stops with the native fault exception (carrying `text` when given).

    Faults must not be caught by `except Exception`, so this goes through
    BaseException and checks the class explicitly.
    """
    exc = raised(call, *args, **kwargs)
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
    assert str(exc) if text is None else str(exc) == text
    return exc


def digest(*arrays):
    """Pins seeded output in 16 hex digits: the arrays' bytes, NaN payloads and
    signed zeros included."""
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:16]


def batch_values(code, scalars, arrays, lengths, seeds, n_workers=0):
    """The values of generate_batch's series, made without injections (every index array empty)."""
    rows = _lib.batch.generate_batch(code, np.array(scalars, float), [np.array(a, float) for a in arrays],
                                     np.array(lengths, np.int32), np.array(seeds, np.uint64),
                                     np.zeros(3 * len(lengths), np.uint64), {}, n_workers)
    for row in rows:
        assert list(row) == ["values", "cp_indices", "anom_indices", "miss_indices"]
        assert all(row[k].dtype == np.int64 and row[k].shape == (0,) for k in list(row)[1:])
    return [row["values"] for row in rows]


def in_fork(job, deadline=20.0):
    """How a forked process running `job` (a callable, true when its values
    are right) ended: "ok", "wrong", "raised", "exit<N>", "signal<N>", or
    "hung" when it was killed after `deadline` seconds."""
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            code = 0 if job() else 1
        except BaseException:  # noqa: BLE001
            import traceback
            traceback.print_exc()
        finally:
            os._exit(code)
    end = time.monotonic() + deadline
    while not (done := os.waitpid(pid, os.WNOHANG))[0]:
        if time.monotonic() > end:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.001)
    code = os.waitstatus_to_exitcode(done[1])
    return f"signal{-code}" if code < 0 else ("ok", "wrong", "raised")[code] if code <= 2 else f"exit{code}"
