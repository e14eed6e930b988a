#!/usr/bin/env python3
"""Attaches to the running Tavrik worker, registers the demo's "OK" badge on the demo's window,
prints every decision for a few seconds, and removes the template again.

    PYTHONPATH=clients/python examples/python/watch_badge.py BADGE_PNG [SECONDS]

(badge.png comes from `tavrik-demo --write-templates DIR`.)
"""
import os
import sys

import tavrik


def main(argv: list) -> int:
    if not 2 <= len(argv) <= 3:
        print("usage: watch_badge.py BADGE_PNG [SECONDS]", file=sys.stderr)
        return 2
    seconds = float(argv[2]) if len(argv) == 3 else 5.0
    try:
        with tavrik.Client() as client:
            print("worker version", client.version(timeout=2))
            # The worker resolves relative paths from its own folder, so pass an absolute one.
            client.add("badge:ok", os.path.abspath(argv[1]), "tavrik-demo", (0, 0, 480, 320),
                       threshold=0.9, cooldown_ms=500)
            try:
                for message in client.hits(duration=seconds):
                    if message.kind == "result":
                        print(message, flush=True)
            finally:
                client.remove("badge:ok")
    except tavrik.WorkerNotRunningError as error:
        print(error, file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
