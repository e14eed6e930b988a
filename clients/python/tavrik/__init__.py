"""Attach a user interface to a Tavrik worker (Linux, x86-64): register image templates through
the worker's command ring and read its decisions from its hit ring.

    import tavrik
    with tavrik.Client() as client:
        client.add("badge:ok", "/abs/badge.png", "game.exe", (0, 0, 480, 320), threshold=0.9)
        for message in client.hits(duration=5):
            print(message)

Standard library only (mmap, ctypes, fcntl). See README.md beside this package.
"""
from ._layout import HitMessage, hit_name_of
from .client import (DEFAULT_TIMEOUT, Client, HitRingFullError, TavrikError,
                     WorkerNotRunningError, default_namespace, worker_running)

__version__ = "0.2.4"
__all__ = ["Client", "HitMessage", "TavrikError", "WorkerNotRunningError", "HitRingFullError",
           "hit_name_of", "default_namespace", "worker_running", "DEFAULT_TIMEOUT"]
