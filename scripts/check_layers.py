#!/usr/bin/env python3
"""Refuses includes that run against the layering, and OS headers in portable files.

Each source folder has a rank; a file may include headers of its own folder and of folders of a
lower rank only. Folders of the same rank are siblings and may not include each other.

  0  base
  1  ipc, registry, capture, match
  2  detect
  3  commands
  4  worker, tools

A portable file (one whose name carries no _posix, _win or _x11 suffix and does not start with
x11_) includes no operating-system or display header.

Usage: scripts/check_layers.py [ROOT]   exit 0 when clean, 1 with one line per violation.
"""
import os
import re
import sys

RANKS = {
    "base": 0,
    "ipc": 1, "registry": 1, "capture": 1, "match": 1,
    "detect": 2,
    "commands": 3,
    "worker": 4, "tools": 4,
}
OS_HEADERS = re.compile(
    r"^(windows\.h|unistd\.h|fcntl\.h|semaphore\.h|pthread\.h|locale\.h|errno\.h|time\.h|"
    r"sys/.*|xcb/.*|X11/.*)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]')


def is_platform_file(name):
    stem = os.path.splitext(name)[0]
    return stem.endswith(("_posix", "_win", "_x11")) or stem.startswith("x11_")


def violations(root):
    for folder, rank in RANKS.items():
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root)
                with open(path, encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        quote, header = match.groups()
                        top = header.split("/", 1)[0]
                        if quote == '"' and top in RANKS and top != folder and RANKS[top] >= rank:
                            yield f"{rel}:{number}: {folder}/ (rank {rank}) includes {header} (rank {RANKS[top]})"
                        if quote == "<" and OS_HEADERS.match(header) and not is_platform_file(name):
                            yield f"{rel}:{number}: portable file includes the OS header <{header}>"


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    found = list(violations(root))
    for line in found:
        print(line)
    print(f"check_layers: {len(found)} violation(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
