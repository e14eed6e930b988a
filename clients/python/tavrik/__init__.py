"""Attach a user interface to a Tavrik worker (Linux, x86-64): register image templates through
the worker's command ring and read its decisions from its hit ring.

    import tavrik
    with tavrik.Client() as client:
        client.add("badge:ok", "/abs/badge.png", "game.exe", (0, 0, 480, 320), threshold=0.9)
        for message in client.hits(duration=5):
            print(message)

    with tavrik.Worker.start() as worker, worker.client() as client:
        ...                                     # a worker of our own, stopped with the block

Standard library only (mmap, ctypes, fcntl). See README.md beside this package.
"""
import sys

if sys.platform == "win32":
    # The rings are POSIX objects here; the Windows worker's are kernel objects of the session.
    raise ImportError("the tavrik package is Linux only; on Windows use the C# client "
                      "(the Tavrik.Client NuGet package)")

from ._layout import HitMessage, hit_name_of  # noqa: E402
from .client import (DEFAULT_TIMEOUT, Client, HitRingFullError, TavrikError,  # noqa: E402
                     WorkerNotRunningError, default_namespace, worker_running)
from .worker import Worker, WorkerExitedError  # noqa: E402

__version__ = "0.2.4"
__all__ = ["Client", "HitMessage", "TavrikError", "WorkerNotRunningError", "HitRingFullError",
           "hit_name_of", "default_namespace", "worker_running", "DEFAULT_TIMEOUT", "Worker",
           "WorkerExitedError"]
