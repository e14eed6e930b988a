"""The C library calls the rings need and Python's standard library lacks: POSIX shared memory
and named semaphores (glibc, Linux).

Everything else (flock, fstat, mmap) comes from the standard library. ctypes releases the GIL
during each call, so a thread waiting on a semaphore does not hold up the others.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import errno
import os
import time

_libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)


class _Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


_libc.shm_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint]
_libc.shm_open.restype = ctypes.c_int
# sem_open is variadic; without O_CREAT it reads only these two arguments.
_libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
_libc.sem_open.restype = ctypes.c_void_p
for _name in ("sem_close", "sem_post", "sem_trywait"):
    getattr(_libc, _name).argtypes = [ctypes.c_void_p]
    getattr(_libc, _name).restype = ctypes.c_int
_libc.sem_getvalue.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
_libc.sem_getvalue.restype = ctypes.c_int
_libc.sem_timedwait.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Timespec)]
_libc.sem_timedwait.restype = ctypes.c_int


def _os_error(what: str) -> OSError:
    code = ctypes.get_errno()
    return OSError(code, f"{what}: {os.strerror(code)}")


def shm_open(name: str, flags: int) -> int:
    """A descriptor of the shared-memory object `name` ("/..."); OSError when it cannot be opened."""
    fd = _libc.shm_open(name.encode(), flags | os.O_CLOEXEC, 0)
    if fd < 0:
        raise _os_error(name)
    return fd


def sem_open(name: str) -> int:
    """The existing named semaphore `name` as an opaque handle; OSError when it cannot be opened."""
    handle = _libc.sem_open(name.encode(), 0)
    if not handle:
        raise _os_error(name)
    return handle


def sem_close(handle: int) -> None:
    _libc.sem_close(handle)


def signal(handle: int) -> None:
    """Sets an auto-reset event: posts only when the count is 0, so that it stays at most 1."""
    value = ctypes.c_int(0)
    if _libc.sem_getvalue(handle, ctypes.byref(value)) == 0 and value.value > 0:
        return
    _libc.sem_post(handle)


def wait(handle: int, timeout: float) -> None:
    """Waits until the event is set (consuming it) or `timeout` seconds pass."""
    now = time.time() + max(0.0, timeout)
    deadline = _Timespec(int(now), int((now % 1) * 1e9))
    while _libc.sem_timedwait(handle, ctypes.byref(deadline)) != 0:
        if ctypes.get_errno() != errno.EINTR:
            return  # timed out
    # Extra posts of one wake belong to it; the caller re-reads the indexes anyway.
    while _libc.sem_trywait(handle) == 0:
        pass
