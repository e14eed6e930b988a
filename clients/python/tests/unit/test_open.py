"""Attaching without a worker: the liveness lock, missing and unusable rings. The test stands in
for the worker by creating the objects and holding the lock itself."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import signal
import subprocess
import sys

import pytest

import tavrik
from conftest import create_shm, hold_lock, start_squatter


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
    assert not tavrik.worker_running(sandbox.namespace)
    held = hold_lock(sandbox.namespace)
    assert tavrik.worker_running(sandbox.namespace)
    assert tavrik.worker_running(sandbox.namespace)  # asking took nothing
    held.close()
    assert not tavrik.worker_running(sandbox.namespace)
    # The probe holds nothing: a starting worker can take the name at once.
    hold_lock(sandbox.namespace).close()
    # Nothing in /dev/shm tells it, so nothing there can be removed to fool it.
    assert not any(name.startswith(sandbox.namespace) for name in os.listdir("/dev/shm"))


def test_another_user_holding_the_lock_names_is_no_worker_of_ours(sandbox, monkeypatch):
    if os.geteuid() != 0:
        pytest.skip("needs root, to run a squatter as uid 65534")
    create_rings(sandbox)  # left behind by a worker that has stopped
    squatter = start_squatter(sandbox.namespace)
    try:
        assert not tavrik.worker_running(sandbox.namespace)
        with pytest.raises(tavrik.WorkerNotRunningError):
            sandbox.client()
        # Without a runtime directory the stranger's file is refused, never taken for a worker.
        monkeypatch.delenv("XDG_RUNTIME_DIR")
        for attempt in (lambda: tavrik.worker_running(sandbox.namespace), sandbox.client):
            with pytest.raises(tavrik.TavrikError, match="belongs to another user") as refused:
                attempt()
            assert not isinstance(refused.value, tavrik.WorkerNotRunningError)
    finally:
        os.kill(squatter, signal.SIGKILL)
        os.waitpid(squatter, 0)


@pytest.mark.parametrize("namespace", ["a\nb", "..", " ", ".hidden", "a/b", "n" * 65, "caf\u00e9",
                                       "a b", "tab\t", "nul\0"])
def test_a_namespace_outside_the_rule_is_refused_clearly(namespace, monkeypatch):
    with pytest.raises(ValueError, match="not a valid IPC namespace") as refused:
        tavrik.Client(namespace)
    assert "letters, digits" in str(refused.value)
    with pytest.raises(ValueError, match="not a valid IPC namespace"):
        tavrik.worker_running(namespace)
    if "\0" not in namespace:
        monkeypatch.setenv("TAVRIK_IPC_NAMESPACE", namespace)
        with pytest.raises(ValueError, match="TAVRIK_IPC_NAMESPACE"):
            tavrik.Client()


def test_the_longest_namespace_and_every_allowed_character_are_accepted(sandbox):
    for namespace in ["A" * 64, "a.b_c-D9", "-x", "_"]:
        with pytest.raises(tavrik.WorkerNotRunningError):
            tavrik.Client(namespace)


def test_connecting_says_why_there_is_no_worker(sandbox):
    with pytest.raises(tavrik.WorkerNotRunningError) as missing:
        sandbox.client()
    assert f"no Tavrik worker is running in namespace '{sandbox.namespace}'" in str(missing.value)
    assert "start tavrik-worker" in str(missing.value)

    create_rings(sandbox)
    with pytest.raises(tavrik.WorkerNotRunningError, match="no Tavrik worker is running"):
        sandbox.client()

    with hold_lock(sandbox.namespace):
        with sandbox.client() as client:
            assert client.worker_running
            assert client.namespace == sandbox.namespace
        with pytest.raises(ValueError, match="closed"):
            client.clear()


def test_rings_that_no_worker_of_ours_made_are_refused(sandbox):
    create_rings(sandbox, command_ring_bytes=4096)
    held = hold_lock(sandbox.namespace)
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
        held.close()


def test_importing_on_windows_says_to_use_the_csharp_client():
    probe = "import sys; sys.platform = 'win32'; import tavrik"
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError: the tavrik package is Linux only; on Windows use the C# client" in result.stderr
