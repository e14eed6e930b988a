"""The client against a real tavrik-worker, with the demo's target window on a private display,
and cross-checked with tavrik-ctl."""
from __future__ import annotations

import concurrent.futures
import fcntl
import glob
import itertools
import json
import os
import struct
import subprocess
import sys
import threading
import time
from typing import Callable, List

import pytest

import tavrik
from conftest import program, source_dir, wait_until

PATIENCE = 10.0


def read_until(client: tavrik.Client, done: Callable[[tavrik.HitMessage], bool]) -> List[tavrik.HitMessage]:
    """Reads until `done` holds for a message; fails with what it saw when none comes."""
    seen = []
    for message in client.hits(duration=PATIENCE):
        seen.append(message)
        if done(message):
            return seen
    pytest.fail("no such message; read: " + " | ".join(map(str, seen)))


def names_except_idle(messages: List[tavrik.HitMessage]) -> List[str]:
    return [m.name for m in messages if m.name != "__hb__:IDLE"]


def test_an_added_template_hits_misses_and_stops_when_removed(worker, desktop):
    with worker.client() as client:
        client.add("badge:ok", desktop.badge, "tavrik-demo", (0, 0, 480, 320), threshold=0.9,
                   cooldown_ms=100)
        hit = read_until(client, lambda m: m.name == "badge")[-1]
        assert hit.kind == "result" and hit.is_hit, hit
        assert (hit.pos_x, hit.pos_y, hit.roi_width, hit.roi_height) == (300, 200, 480, 320)
        assert hit.threshold == struct.unpack("<f", struct.pack("<f", 0.9))[0]
        assert hit.score >= hit.threshold

        desktop.show_badge(False)
        try:
            read_until(client, lambda m: m.name == "badge" and not m.is_hit)
        finally:
            desktop.show_badge(True)

        # The loop reports IDLE only while nothing is registered; after it, nothing more of the
        # badge arrives.
        client.remove("badge:ok")
        read_until(client, lambda m: m.name == "__hb__:IDLE")
        assert client.heartbeat(timeout=PATIENCE)
        assert "badge" not in names_except_idle(read_until(client, lambda m: m.name == "__hb__:CMD"))


def test_heartbeat_and_version_leave_the_messages_to_the_reader(worker):
    with worker.client() as client:
        assert client.version(timeout=PATIENCE) == "0.2.4"
        assert client.heartbeat(timeout=PATIENCE)
        assert names_except_idle(read_until(client, lambda m: m.name == "__hb__:CMD")) == \
            ["__ver__:0.2.4", "__ver__:0.2.4", "__hb__:CMD"]

        # With a reader taking every message on another thread, each answer still reaches
        # heartbeat(), and the reader still gets it.
        stop = threading.Event()
        read: List[str] = []
        reader = threading.Thread(target=lambda: read.extend(m.name for m in client.hits(stop=stop)))
        reader.start()
        try:
            # The reader is iterating once it has taken a message of its own.
            assert client.heartbeat(timeout=PATIENCE)
            wait_until(lambda: "__hb__:CMD" in read, "the reader to start")
            for attempt in range(5):
                assert client.heartbeat(timeout=PATIENCE), attempt
            with pytest.raises(RuntimeError, match="one reader"):
                next(client.hits())
            wait_until(lambda: read.count("__hb__:CMD") == 6, "6 answers read")
        finally:
            stop.set()
            reader.join()


def test_commands_wait_for_room_and_for_other_producers(worker):
    with worker.client() as client:
        worker.freeze()
        try:
            for _ in range(64):
                client.clear(timeout=0)
            assert client.pending_commands == 64
            with pytest.raises(TimeoutError, match="64 commands are pending"):
                client.clear(timeout=0.1)
            assert client.pending_commands == 64
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                late = pool.submit(client.heartbeat, PATIENCE)
                with pytest.raises(concurrent.futures.TimeoutError):
                    late.result(timeout=0.3)  # it must not publish over a pending command
                worker.thaw()
                assert late.result(), "the 65th command ran once there was room"
        finally:
            worker.thaw()
        assert client.pending_commands == 0

        # Another producer (tavrik-ctl takes the same flock) holds the lock: nothing is published
        # until it lets go.
        other = os.open("/dev/shm" + worker.object("CmdRingMMF"), os.O_RDWR)
        fcntl.flock(other, fcntl.LOCK_EX)
        with pytest.raises(TimeoutError, match="producer lock"):
            client.heartbeat(timeout=0.1)
        os.close(other)
        assert client.heartbeat(timeout=PATIENCE)


def test_a_full_hit_ring_counts_what_it_drops_and_keeps_what_it_holds(worker):
    with worker.client() as client:
        # 1 start-up message and 70 answers: 64 fit, the rest are dropped.
        for _ in range(70):
            client._publish(tavrik._layout.bare_slot(tavrik._layout.HEARTBEAT), PATIENCE)
        wait_until(lambda: client.pending_commands == 0 and client.dropped_hits >= 7,
                   "the worker to answer every heartbeat")
        with pytest.raises(tavrik.HitRingFullError, match="read the messages with hits"):
            client.heartbeat(timeout=0.3)
        assert client.pending_hits == 64
        assert client.dropped_hits >= 8

        kept = list(itertools.islice(client.hits(duration=PATIENCE), 64))
        assert kept[0].name == "__ver__:0.2.4"
        assert {m.kind for m in kept[1:]} == {"heartbeat"}
        assert client.pending_hits == 0
        assert client.heartbeat(timeout=PATIENCE)


def test_names_of_thirty_units_arrive_whole_and_longer_ones_are_refused(worker, desktop):
    thirty = "badge" + "x" * 23 + "\U0001F600"  # 30 UTF-16 units
    thirty_two = "y" * 30 + ":k"  # 32 units; hits carry the 30 before ':'
    with worker.client() as client:
        for name in ("z" * 31, "z" * 32):
            with pytest.raises(ValueError, match="would carry only the first 30"):
                client.add(name, desktop.badge, "tavrik-demo", (0, 0, 480, 320))
        assert client.pending_commands == 0
        client.add(thirty, desktop.badge, "tavrik-demo", (0, 0, 480, 320), cooldown_ms=200)
        client.add(thirty_two, desktop.badge, "tavrik-demo", (0, 0, 480, 320), cooldown_ms=200)
        expected = {thirty, "y" * 30}
        seen = set()

        def both_seen(message: tavrik.HitMessage) -> bool:
            if message.kind == "result":
                seen.add(message.name)
            return seen >= expected

        results = [m for m in read_until(client, both_seen) if m.kind == "result"]
        assert seen == expected, "every result carried one of the names whole"
        assert all(m.is_hit for m in results)
        client.remove(thirty_two)
        client.clear()


def as_float32(value: float) -> float:
    return struct.unpack("<f", struct.pack("<f", value))[0]


def test_python_reads_what_tavrik_ctl_watch_shows(worker, desktop):
    """tavrik-ctl registers the template; Python reads the worker's decisions, then tavrik-ctl
    watch reads the next ones of the same still scene. Field by field they agree, except for the
    time."""
    def ctl(*arguments: str) -> str:
        run = subprocess.run([program("tavrik-ctl"), *arguments], env=worker.env(),
                             capture_output=True, text=True, timeout=30)
        assert run.returncode == 0, run.stderr
        return run.stdout

    with worker.client() as client:
        read_until(client, lambda m: m.name == "__ver__:0.2.4")  # the start-up message
        ctl("add", "--name", "badge:ok", "--path", desktop.badge, "--process", "tavrik-demo",
            "--roi", "0,0,480,320", "--threshold", "0.9", "--cooldown-ms", "100")
        ours = [m for m in read_until(client, lambda m: m.name == "badge") if m.kind == "result"]
        ours += itertools.islice(client.hits(duration=PATIENCE), 2)
    watched = [json.loads(line) for line in
               ctl("watch", "--count", "3", "--timeout", str(PATIENCE)).splitlines()]

    assert len(ours) == len(watched) == 3
    for python, shown in zip(ours, watched):
        assert shown["name"] == python.name == "badge"
        assert (shown["posX"], shown["posY"], shown["roiWidth"], shown["roiHeight"]) == \
            (python.pos_x, python.pos_y, python.roi_width, python.roi_height) == (300, 200, 480, 320)
        assert shown["isHit"] == int(python.is_hit) == 1
        for key, value in (("score", python.score), ("threshold", python.threshold),
                           ("baseline", python.baseline)):
            assert as_float32(shown[key]) == value, key
        assert python.timestamp_ms <= shown["timestampMs"]


def test_the_example_watches_the_demo(worker, desktop):
    example = source_dir() / "examples" / "python" / "watch_badge.py"
    run = subprocess.run([sys.executable, str(example), desktop.badge, "2"], env=worker.env(),
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    assert "worker version 0.2.4" in run.stdout
    assert "HIT badge score=" in run.stdout
    # It cleaned up after itself.
    wait_until(lambda: "[Spec] Removed 'badge:ok'" in worker.log, "the example's remove")


def test_the_worker_stays_alive_for_clients_when_its_objects_are_unlinked(sandbox):
    sandbox.start_worker()
    with sandbox.client() as client:
        for path in glob.glob(f"/dev/shm/{sandbox.namespace}-*") + glob.glob(
                f"/dev/shm/sem.{sandbox.namespace}-*"):
            os.unlink(path)
        assert client.worker_running
        assert tavrik.worker_running(sandbox.namespace)
        # A new client hears that the worker runs, and why it still cannot attach.
        with pytest.raises(tavrik.TavrikError, match="a worker is running") as refused:
            sandbox.client()
        assert not isinstance(refused.value, tavrik.WorkerNotRunningError)
        sandbox.worker.kill()
        sandbox.worker.wait(5)
        sandbox.worker = None
        assert not client.worker_running
        assert not tavrik.worker_running(sandbox.namespace)


def test_a_ring_cut_short_under_the_worker_is_grown_back_for_the_next_client(sandbox):
    sandbox.start_worker()
    os.truncate("/dev/shm" + sandbox.object("CmdRingMMF"), 8000)
    wait_until(lambda: os.stat("/dev/shm" + sandbox.object("CmdRingMMF")).st_size == 20496,
               "the command ring to be grown back", 5)
    with sandbox.client() as client:
        assert client.heartbeat(timeout=PATIENCE)


# --- a worker owned by its client ---------------------------------------------------------------

def _gone_within(pid: int, seconds: float) -> bool:
    """True when the process `pid` ends (or is only a zombie) within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.01)
    return False


def test_an_owned_worker_answers_and_stops_when_closed(sandbox):
    with tavrik.Worker.start(sandbox.namespace, program("tavrik-worker")) as worker:
        assert worker.running and worker.namespace == sandbox.namespace
        with worker.client() as client:
            assert client.heartbeat(PATIENCE)
    assert not worker.running and not tavrik.worker_running(sandbox.namespace)


@pytest.mark.parametrize("case, code", [("another worker runs", 3),
                                        ("the parent it is told of is not its parent", 1)])
def test_a_worker_that_ends_first_raises_its_exit_code(sandbox, case, code):
    if code == 3:
        sandbox.start_worker()
    else:
        # The starter names itself; a wrapper that runs the worker as its own child breaks that.
        wrapper = sandbox.directory / "wrapper.sh"
        wrapper.write_text(f"#!/bin/sh\n{program('tavrik-worker')}\nexit $?\n")
        wrapper.chmod(0o755)
    path = program("tavrik-worker") if code == 3 else str(sandbox.directory / "wrapper.sh")
    with pytest.raises(tavrik.WorkerExitedError) as raised:
        tavrik.Worker.start(sandbox.namespace, path)
    assert raised.value.exit_code == code, case
    assert (code == 3) == ("another worker already runs" in str(raised.value))


def test_an_owned_worker_ends_with_its_killed_client(sandbox):
    starter = subprocess.Popen(
        [sys.executable, "-c",
         "import sys, time, tavrik\n"
         "w = tavrik.Worker.start(sys.argv[1], sys.argv[2])\n"
         "print(w.pid, flush=True)\n"
         "time.sleep(60)\n", sandbox.namespace, program("tavrik-worker")],
        stdout=subprocess.PIPE, text=True)
    assert starter.stdout is not None
    worker_pid = int(starter.stdout.readline())
    starter.kill()
    starter.wait()
    assert _gone_within(worker_pid, 1.0), "the worker outlived its killed client by 1 s"
    wait_until(lambda: not tavrik.worker_running(sandbox.namespace), "the worker's lock to go")
