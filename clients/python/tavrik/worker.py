"""A worker process that a user interface starts and owns (Linux).

Worker.start finds tavrik-worker, starts it in the client's namespace and returns once it has
answered a version request; close() stops it (SIGTERM, then a kill after `stop_timeout`). A dead
UI takes its worker with it: the worker is given TAVRIK_PARENT_PID, this process's id, and stops
in order within about 0.1 s of this process's end, however it ends (SIGKILL included).

Threads: start from any thread; close() once, from any thread.
"""
from __future__ import annotations

import os
import platform
import shutil
import signal
import subprocess
import sys
import time
from typing import List, Optional

from .client import Client, TavrikError, check_namespace, default_namespace, worker_running

_PROGRAM = "tavrik-worker"
# How often the start-up is looked at while the worker sets up its rings.
_START_POLL = 0.02
_VERSION_SLICE = 0.5


class WorkerExitedError(TavrikError):
    """A worker that Worker.start started ended before it answered; `exit_code` says why (3:
    another worker already runs in the namespace)."""

    def __init__(self, message: str, exit_code: int) -> None:
        super().__init__(message)
        self.exit_code = exit_code

    @property
    def another_worker_running(self) -> bool:
        return self.exit_code == 3


def exit_meaning(code: int, namespace: str) -> str:
    """What a worker's exit status (as subprocess gives it) means."""
    if code == 0:
        return "it was asked to stop"
    if code == 1:
        return ("it could not start (the IPC namespace or TAVRIK_PARENT_PID is not valid, or its "
                "worker lock or command ring could not be made; its standard error and its log "
                "say which)")
    if code == 3:
        return f"another worker already runs in namespace '{namespace}'"
    if code < 0:
        return f"it was ended by signal {-code}"
    return "an exit code the worker does not give (it crashed or was killed)"


def _runtime_id() -> str:
    machine = platform.machine().lower()
    arch = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "i686": "x86"}.get(machine, machine)
    return f"linux-{arch}"


def find_program(path: Optional[str] = None) -> str:
    """The worker program: `path` when given; else beside the application (sys.argv[0]), then
    under runtimes/<rid>/native there, then on the PATH. FileNotFoundError when there is none."""
    if path is not None:
        if not os.path.isfile(path):
            raise FileNotFoundError(f"the worker program {path!r} does not exist")
        return os.path.abspath(path)
    home = os.path.dirname(os.path.abspath(sys.argv[0])) if sys.argv and sys.argv[0] else os.getcwd()
    candidates: List[str] = [os.path.join(home, _PROGRAM),
                             os.path.join(home, "runtimes", _runtime_id(), "native", _PROGRAM)]
    for candidate in candidates:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    on_path = shutil.which(_PROGRAM)
    if on_path:
        return on_path
    raise FileNotFoundError(f"no {_PROGRAM} beside the application, under runtimes/"
                            f"{_runtime_id()}/native or on the PATH; pass path=")


class Worker:
    """A running worker started by this process; close() (or leaving a `with` block) stops it."""

    def __init__(self, process: "subprocess.Popen[bytes]", namespace: str, path: str,
                 stop_timeout: float) -> None:
        self._process = process
        self.namespace = namespace
        self.path = path
        self._stop_timeout = stop_timeout

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    @classmethod
    def start(cls, namespace: Optional[str] = None, path: Optional[str] = None, *,
              start_timeout: float = 10.0, stop_timeout: float = 5.0,
              log: Optional[str] = None) -> "Worker":
        """Starts a worker and returns once it answered a version request.

        `log` becomes its TAVRIK_LOG (a file, or "stderr"). Raises FileNotFoundError (no
        program), WorkerExitedError (it ended first), TimeoutError (no answer within
        `start_timeout`; it is killed) or ValueError (a namespace outside the rule)."""
        ns = check_namespace(namespace) if namespace is not None else default_namespace()
        program = find_program(path)
        environment = dict(os.environ, TAVRIK_IPC_NAMESPACE=ns, TAVRIK_PARENT_PID=str(os.getpid()))
        environment.pop("TAVRIK_LOG", None)
        if log is not None:
            environment["TAVRIK_LOG"] = log
        # A worker that already serves the namespace makes ours exit with 3; its replies must not
        # pass for ours.
        others_running = worker_running(ns)
        process = subprocess.Popen([program], env=environment, stdin=subprocess.DEVNULL,
                                   cwd=os.path.dirname(program))
        worker = cls(process, ns, program, stop_timeout)
        try:
            worker._await_version(start_timeout, others_running)
        except BaseException:
            worker._kill()
            raise
        return worker

    def _await_version(self, timeout: float, others_running: bool) -> None:
        deadline = time.monotonic() + timeout
        if others_running:
            # Ours ends at once with 3; should the other one end first, ours serves instead.
            try:
                self._process.wait(timeout)
                raise self._exited()
            except subprocess.TimeoutExpired:
                pass
        while True:
            if self._process.poll() is not None:
                raise self._exited()
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"the worker {self.path} did not answer a version request "
                                   f"within {timeout} s")
            try:
                # In slices, so that a worker that ends meanwhile is noticed soon.
                with Client(self.namespace) as client:
                    client.version(min(left, _VERSION_SLICE))
                    return
            except (TavrikError, TimeoutError):
                pass  # not serving yet: the worker takes its lock first, then makes the rings
            time.sleep(_START_POLL)

    def _exited(self) -> WorkerExitedError:
        code = self._process.wait()
        return WorkerExitedError(f"the worker {self.path} exited with code {code}: "
                                 f"{exit_meaning(code, self.namespace)}", code)

    def client(self) -> Client:
        """A new client attached to this worker."""
        return Client(self.namespace)

    def close(self) -> None:
        """Stops the worker: SIGTERM, then a kill when it has not ended within `stop_timeout`."""
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(self._stop_timeout)
            except subprocess.TimeoutExpired:
                pass
        self._kill()

    def _kill(self) -> None:
        if self._process.poll() is None:
            self._process.kill()
        self._process.wait()

    def __enter__(self) -> "Worker":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
