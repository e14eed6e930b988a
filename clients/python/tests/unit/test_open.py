"""Attaching without a worker: the liveness lock, missing and unusable rings. The test stands in
for the worker by creating the objects and holding the lock itself."""
from __future__ import annotations

import ctypes
import ctypes.util
import fcntl
import os

import pytest

import tavrik
from conftest import create_shm, hold_lock
from tavrik.client import probe_liveness_lock


def create_rings(sandbox, command_ring_bytes: int = 20496) -> None:
    """What a worker leaves behind after it stopped: the rings and their events."""
    os.close(create_shm(sandbox.object("CmdRingMMF"), command_ring_bytes))
    os.close(create_shm(sandbox.object("HitRingMMF"), 8464))
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.sem_open.restype = ctypes.c_void_p
    libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint, ctypes.c_uint]
    libc.sem_close.argtypes = [ctypes.c_void_p]
    for name in ("CmdRingEvent", "HitRingEvent"):
        semaphore = libc.sem_open(sandbox.object(name).encode(), os.O_CREAT, 0o600, 0)
        assert semaphore, os.strerror(ctypes.get_errno())
        libc.sem_close(semaphore)


def test_the_liveness_lock_tells_a_running_worker(sandbox):
    lock = sandbox.object("TavrikWorkerLock")
    assert not probe_liveness_lock(lock)  # no lock object
    held = hold_lock(lock)
    assert probe_liveness_lock(lock)
    os.close(held)
    assert not probe_liveness_lock(lock)
    # The probe let go of its own lock: a starting worker can take it.
    worker = create_shm(lock, 0)
    fcntl.flock(worker, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.close(worker)


def test_connecting_says_why_there_is_no_worker(sandbox):
    with pytest.raises(tavrik.WorkerNotRunningError) as missing:
        sandbox.client()
    assert f"{sandbox.object('CmdRingMMF')} does not exist" in str(missing.value)
    assert "start tavrik-worker" in str(missing.value)

    create_rings(sandbox)
    with pytest.raises(tavrik.WorkerNotRunningError, match="nobody holds the liveness lock"):
        sandbox.client()

    held = hold_lock(sandbox.object("TavrikWorkerLock"))
    try:
        with sandbox.client() as client:
            assert client.worker_running
            assert client.namespace == sandbox.namespace
        with pytest.raises(ValueError, match="closed"):
            client.clear()
    finally:
        os.close(held)


def test_rings_that_no_worker_of_ours_made_are_refused(sandbox):
    with pytest.raises(ValueError, match="cannot name a shared-memory object"):
        tavrik.Client("a/b")
    create_rings(sandbox, command_ring_bytes=4096)
    held = hold_lock(sandbox.object("TavrikWorkerLock"))
    try:
        with pytest.raises(tavrik.TavrikError, match="is 4096 bytes, smaller than the ring's 20496"):
            sandbox.client()
        os.close(create_shm(sandbox.object("CmdRingMMF"), 20496))
        if os.geteuid() != 0:
            pytest.skip("handing an object to another user needs root")
        os.chown("/dev/shm" + sandbox.object("HitRingMMF"), 65534, 65534)
        with pytest.raises(tavrik.TavrikError, match=r"belongs to another user \(uid 65534\)"):
            sandbox.client()
    finally:
        os.close(held)
