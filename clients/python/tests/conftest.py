"""Test surroundings: a private IPC namespace with a real tavrik-worker in it, and a private X
display with the demo's target window. TAVRIK_BUILD_DIR and TAVRIK_SOURCE_DIR (set by ctest) name
the build and source trees."""
from __future__ import annotations

import glob
import itertools
import os
import pathlib
import fcntl
import signal
import socket
import subprocess
import time
from typing import BinaryIO, Callable, Iterator, Optional

import pytest

import tavrik

_counter = itertools.count()


def _tree(variable: str) -> pathlib.Path:
    value = os.environ.get(variable)
    if not value:
        pytest.fail(f"{variable} is not set (the tests run from ctest)")
    return pathlib.Path(value)


def program(name: str) -> str:
    return str(_tree("TAVRIK_BUILD_DIR") / "bin" / name)


def source_dir() -> pathlib.Path:
    return _tree("TAVRIK_SOURCE_DIR")


def wait_until(condition: Callable[[], bool], what: str, seconds: float = 10) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.01)


def create_shm(name: str, size: int) -> int:
    """Creates (or opens) a shm object of ours, sized; returns its descriptor."""
    fd = os.open("/dev/shm" + name, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    if size:
        os.ftruncate(fd, size)
    return fd


def lock_file(namespace: str) -> str:
    """The file whose flock a running worker holds, spelled out as the protocol document gives it
    (not taken from the library under test), for a private $XDG_RUNTIME_DIR."""
    return f"{os.environ['XDG_RUNTIME_DIR']}/{namespace}-TavrikWorkerLock"


def hold_lock(namespace: str) -> BinaryIO:
    """Holds the liveness lock, as a worker does; closing the file lets it go."""
    fd = os.open(lock_file(namespace), os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return os.fdopen(fd, "rb")


def start_squatter(namespace: str) -> int:
    """As root: a process of uid 65534 that holds what another local user can take of the worker
    lock's names: the abstract socket name "<namespace>-TavrikWorkerLock", and a flocked file of
    its own at /dev/shm/<namespace>-TavrikWorkerLock. Returns its pid once it holds both."""
    name = f"{namespace}-TavrikWorkerLock"
    ready, tell = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            held = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            held.bind(b"\0" + name.encode())
            fd = os.open("/dev/shm/" + name, os.O_RDONLY | os.O_CREAT, 0o644)
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.write(tell, b"1")
            signal.pause()
        finally:
            os._exit(1)
    os.close(tell)
    started = os.read(ready, 1) == b"1"
    os.close(ready)
    if not started:
        os.waitpid(pid, 0)
        pytest.fail("the squatter could not set up")
    return pid


class Sandbox:
    """A unique IPC namespace, a scratch folder and, once started, a worker in them."""

    def __init__(self, directory: pathlib.Path) -> None:
        self.namespace = f"tavrik-py-{os.getpid()}-{next(_counter)}"
        self.directory = directory
        # The private runtime directory a session gives its user, where the worker lock lives.
        self.runtime = directory / "run"
        self.runtime.mkdir(mode=0o700)
        self.worker: Optional[subprocess.Popen] = None

    def object(self, name: str) -> str:
        return f"/{self.namespace}-{name}"

    def env(self, display: Optional[str] = None) -> dict:
        env = dict(os.environ, TAVRIK_IPC_NAMESPACE=self.namespace)
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
        return env

    @property
    def log(self) -> str:
        path = self.directory / "worker.log"
        return path.read_text() if path.exists() else ""

    def start_worker(self, display: Optional[str] = None) -> None:
        """Starts tavrik-worker and waits until it has started up, holding its liveness lock
        exactly as the protocol document describes it."""
        env = self.env(display)
        env["TAVRIK_LOG"] = str(self.directory / "worker.log")
        self.worker = subprocess.Popen([program("tavrik-worker")], env=env)
        wait_until(lambda: "Tavrik waiting for spec registrations" in self.log,
                   "the worker's start-up")
        with open(lock_file(self.namespace), "rb") as probe:
            # Granted would mean that nobody holds it; every client's liveness test relies on it.
            with pytest.raises(BlockingIOError):
                fcntl.flock(probe, fcntl.LOCK_SH | fcntl.LOCK_NB)

    def freeze(self) -> None:
        """Stops the worker (SIGSTOP) and returns once every thread of it has stopped."""
        assert self.worker is not None
        os.kill(self.worker.pid, signal.SIGSTOP)
        tasks = f"/proc/{self.worker.pid}/task"

        def stopped() -> bool:
            # The state follows the command name in parentheses; 'T' is stopped.
            return all(pathlib.Path(task, "stat").read_text().rsplit(")", 1)[1].split()[0] == "T"
                       for task in glob.glob(tasks + "/*"))

        wait_until(stopped, "the worker to stop")

    def thaw(self) -> None:
        assert self.worker is not None
        os.kill(self.worker.pid, signal.SIGCONT)

    def client(self) -> tavrik.Client:
        return tavrik.Client(self.namespace)

    def close(self) -> None:
        if self.worker is not None:
            os.kill(self.worker.pid, signal.SIGCONT)
            self.worker.terminate()
            self.worker.wait(5)
        for pattern in (f"{self.namespace}-*", f"sem.{self.namespace}-*"):
            for path in glob.glob("/dev/shm/" + pattern):
                os.unlink(path)


class DemoDesktop:
    """A private Xvfb with the demo's target window held still at (120, 90), and the demo's
    template images (badge.png, ring.png) in `templates`."""

    def __init__(self, templates: pathlib.Path) -> None:
        self.templates = templates
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             "-noreset"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self._xvfb.stdout is not None
        self.display = ":" + self._xvfb.stdout.readline().strip()
        subprocess.run([program("tavrik-demo"), "--write-templates", str(templates)], check=True)
        self._demo = subprocess.Popen(
            [program("tavrik-demo"), "--x", "120", "--y", "90", "--toggle-ms", "0"],
            env=dict(os.environ, DISPLAY=self.display), stdout=subprocess.PIPE, text=True)
        assert self._read() == "ready"

    @property
    def badge(self) -> str:
        return str(self.templates / "badge.png")

    def _read(self) -> str:
        assert self._demo.stdout is not None
        return self._demo.stdout.readline().strip()

    def show_badge(self, shown: bool) -> None:
        """Swaps the badge for another one (or back); returns once it is on the screen."""
        os.kill(self._demo.pid, signal.SIGUSR1)
        assert self._read() == ("shown" if shown else "swapped")

    def close(self) -> None:
        for process in (self._demo, self._xvfb):
            process.terminate()
            process.wait(5)


@pytest.fixture
def sandbox(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Sandbox]:
    box = Sandbox(tmp_path)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(box.runtime))
    yield box
    box.close()


@pytest.fixture(scope="session")
def desktop(tmp_path_factory: pytest.TempPathFactory) -> Iterator[DemoDesktop]:
    demo = DemoDesktop(tmp_path_factory.mktemp("demo"))
    yield demo
    demo.close()


@pytest.fixture
def worker(sandbox: Sandbox, desktop: DemoDesktop) -> Sandbox:
    """A sandbox with a running worker that sees the demo's display."""
    sandbox.start_worker(desktop.display)
    return sandbox
