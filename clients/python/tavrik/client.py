"""A user interface's connection to a running Tavrik worker (Linux): registers templates through
the command ring and reads the worker's decisions from the hit ring.

The hit ring has exactly one reader. A client becomes that reader while it iterates hits(); two
readers (two clients, or a client beside `tavrik-ctl watch`) would each take messages the other
never sees. heartbeat() and version() never take messages: they look for their reply without
consuming it, and a running hits() still yields it.

Threads: every method may be called from any thread, and commands may be published while another
thread iterates hits(); at most one hits() iteration runs at a time. close() waits for calls in
progress (a waiting hits() notices within 0.1 s and raises ValueError).
"""
from __future__ import annotations

import errno
import fcntl
import mmap
import os
import platform
import re
import stat
import threading
import time
from contextlib import contextmanager
from typing import Callable, Iterator, Optional, Tuple

from . import _libc
from ._layout import (CLEAR, COMMAND_RING_BYTES, COMMAND_SLOT_BYTES, HEADER_BYTES, HEARTBEAT,
                      HIT_RING_BYTES, HIT_SLOT_BYTES, SLOT_COUNT, SLOT_MASK, VERSION, HitMessage,
                      add_slot, bare_slot, decode_hit, remove_slot)

DEFAULT_TIMEOUT = 5.0
"""Seconds a command waits for a free slot when no timeout is given."""

# Longest single wait on the hit event: bounds how late a stop or close() is noticed, and recovers
# a wake that another process (such as `tavrik-ctl heartbeat`, which waits on the same event) took.
_WAIT_SLICE = 0.1
_MASK = 0xFFFFFFFF
# Every object name derived from a namespace stays a plain file name (well within NAME_MAX, and
# "sem." in front still fits).
_NAMESPACE_RULE = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}")
_NAMESPACE_RULE_TEXT = "1 to 64 ASCII letters, digits, '.', '_' or '-', not starting with '.'"
_START_HINT = "start tavrik-worker, or systemctl --user start tavrik-worker"


class TavrikError(Exception):
    """The worker's rings cannot be used: they are missing, foreign or damaged."""


class WorkerNotRunningError(TavrikError):
    """No worker serves the namespace: its rings do not exist, or a worker that has stopped left
    them behind. Start tavrik-worker and connect again."""


class HitRingFullError(TavrikError):
    """No reply came, and meanwhile the worker dropped messages because 64 were waiting unread:
    the reply may have been one of them. Read the ring with hits(); the client is its reader."""


def check_namespace(namespace: str, source: str = "the namespace") -> str:
    """Returns `namespace` when it follows the rule that every peer applies; ValueError otherwise."""
    if not _NAMESPACE_RULE.fullmatch(namespace):
        raise ValueError(f"{source} {namespace!r} is not a valid IPC namespace: it must be "
                         f"{_NAMESPACE_RULE_TEXT}")
    return namespace


def default_namespace() -> str:
    """$TAVRIK_IPC_NAMESPACE when set and not empty, else "tavrik-<uid>", as the worker does.
    ValueError when the variable breaks the namespace rule."""
    from_environment = os.environ.get("TAVRIK_IPC_NAMESPACE")
    if from_environment:
        return check_namespace(from_environment, "TAVRIK_IPC_NAMESPACE")
    return f"tavrik-{os.getuid()}"


def object_name(namespace: str, name: str) -> str:
    """"/<namespace>-<name>"; ValueError when the namespace breaks the rule."""
    return f"/{check_namespace(namespace)}-{name}"


def _is_private_directory(path: Optional[str]) -> bool:
    # Only a directory that no other user can place a file in keeps the lock out of their reach.
    if not path or not path.startswith("/"):
        return False
    try:
        info = os.stat(path)
    except OSError:
        return False
    return (stat.S_ISDIR(info.st_mode) and info.st_uid == os.geteuid()
            and info.st_mode & (stat.S_IWGRP | stat.S_IWOTH) == 0)


def lock_path(namespace: str) -> str:
    """The file whose flock a running worker holds for its whole life:
    "<namespace>-TavrikWorkerLock" in $XDG_RUNTIME_DIR when that is a directory of ours that
    nobody else may write, else in /dev/shm."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    directory = runtime if runtime is not None and _is_private_directory(runtime) else "/dev/shm"
    return f"{directory.rstrip('/')}/{check_namespace(namespace)}-TavrikWorkerLock"


def worker_running(namespace: Optional[str] = None) -> bool:
    """True while a worker runs in `namespace` (default: default_namespace()).

    The worker holds an exclusive flock on lock_path() for its whole life; the kernel drops it
    when the worker dies. Asking opens the file without creating it and tries a shared lock
    without waiting, which it lets go at once. A file of another user is refused (TavrikError):
    it can only have been planted. Peers must agree on $XDG_RUNTIME_DIR."""
    path = lock_path(default_namespace() if namespace is None else namespace)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    except OSError as error:
        if error.errno in (errno.EACCES, errno.ELOOP):
            raise TavrikError(
                f"{path} belongs to another user; no worker of ours uses it") from None
        raise TavrikError(f"cannot tell whether a worker runs: {error.strerror}") from None
    try:
        _check_owned(os.fstat(fd), path)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        except OSError as error:
            raise TavrikError(f"cannot tell whether a worker runs: {error.strerror}") from None
        return False
    finally:
        os.close(fd)


def _check_owned(info: os.stat_result, name: str) -> None:
    # A worker of this user made it 0600; an object of another user could pass our commands to a
    # stranger, so it is refused.
    if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
        raise TavrikError(f"{name} belongs to another user (uid {info.st_uid}); refusing to use it")


def _open_failure(namespace: str, name: str, error: OSError) -> TavrikError:
    if isinstance(error, FileNotFoundError):
        # Only asked once the worker was found running: its object was removed under it.
        return TavrikError(f"a worker is running in namespace '{namespace}', but {name} does not "
                           "exist (removed under it); restart the worker to make it again")
    if isinstance(error, PermissionError):
        return TavrikError(f"{name} belongs to another user")
    return TavrikError(f"cannot open {name}: {error.strerror}")


class _Ring:
    """One mapped ring; `header` holds its four uint32 header fields as [0] to [3]."""

    def __init__(self, namespace: str, name: str, size: int) -> None:
        path = object_name(namespace, name)
        try:
            self.fd = _libc.shm_open(path, os.O_RDWR)
        except OSError as error:
            raise _open_failure(namespace, path, error) from None
        try:
            info = os.fstat(self.fd)
            _check_owned(info, path)
            if info.st_size < size:
                raise TavrikError(f"{path} is {info.st_size} bytes, smaller than the ring's "
                                  f"{size}; it was not made by a Tavrik worker")
            self.map = mmap.mmap(self.fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
        except BaseException:
            os.close(self.fd)
            raise
        # One element store or load is one aligned 4-byte move: the worker never sees half an
        # index (struct.pack_into writes little-endian fields byte by byte).
        self.header = memoryview(self.map).cast("I")

    def close(self) -> None:
        self.header.release()
        self.map.close()
        os.close(self.fd)


def _open_event(namespace: str, name: str) -> int:
    path = object_name(namespace, name)
    try:
        handle = _libc.sem_open(path)
    except OSError as error:
        raise _open_failure(namespace, path, error) from None
    try:
        _check_owned(os.stat("/dev/shm/sem." + path[1:]), path)
    except BaseException:
        _libc.sem_close(handle)
        raise
    return handle


class _ReplyWaiter:
    __slots__ = ("prefix", "exact", "start", "reply")

    def __init__(self, prefix: str, exact: bool, start: int) -> None:
        self.prefix = prefix
        self.exact = exact
        self.start = start  # the first hit-ring index that may hold the reply
        self.reply: Optional[HitMessage] = None

    def matches(self, name: str) -> bool:
        return name == self.prefix if self.exact else name.startswith(self.prefix)


def _at_or_after(index: int, start: int) -> bool:
    """Index order across the 32-bit wrap: less than half the range behind counts as before."""
    return (index - start) & _MASK < 0x80000000


class _HitWaiters:
    """Waiting for the hit ring within one client.

    An auto-reset event wakes one waiter, so two threads of ours waiting on it would take each
    other's wakes. One thread at a time (the leader) waits on the event; the others wait on a
    condition that the leader notifies whenever it wakes. The reader also hands every message it
    takes to the threads expecting a reply, before it releases the slot, so that no reply is lost
    between a peek and a take."""

    def __init__(self, wait_event: Callable[[float], None]) -> None:
        self._wait_event = wait_event
        self._cond = threading.Condition()
        self._leading = False
        self._wakes = 0
        self._expected: list[_ReplyWaiter] = []

    def expect(self, prefix: str, exact: bool, start: int) -> _ReplyWaiter:
        waiter = _ReplyWaiter(prefix, exact, start)
        with self._cond:
            self._expected.append(waiter)
        return waiter

    def forget(self, waiter: _ReplyWaiter) -> None:
        with self._cond:
            self._expected.remove(waiter)

    def reply_of(self, waiter: _ReplyWaiter) -> Optional[HitMessage]:
        with self._cond:
            return waiter.reply

    def offer(self, index: int, message: HitMessage) -> None:
        with self._cond:
            for waiter in self._expected:
                if (waiter.reply is None and _at_or_after(index, waiter.start)
                        and waiter.matches(message.name)):
                    waiter.reply = message
                    self._cond.notify_all()

    def wait(self, ready: Callable[[], bool], timeout: float) -> None:
        """Returns once `ready` may have become true: the event was set, another waiter of ours
        saw it set, a reply was offered, or `timeout` seconds passed."""
        with self._cond:
            if ready():
                return
            if self._leading:
                wakes = self._wakes
                self._cond.wait_for(lambda: self._wakes != wakes or ready(), timeout)
                return
            self._leading = True
        try:
            # Checked again as leader: a wake the previous leader consumed is not repeated, and
            # whatever it announced is visible now.
            if not ready():
                self._wait_event(timeout)
        finally:
            with self._cond:
                self._leading = False
                self._wakes += 1
                self._cond.notify_all()


class Client:
    """Attaches to the worker of `namespace` (default: $TAVRIK_IPC_NAMESPACE, else the worker's
    own default "tavrik-<uid>"). Use it as a context manager, or call close().

    Raises WorkerNotRunningError when no worker serves the namespace, TavrikError when its rings
    exist but cannot be used."""

    def __init__(self, namespace: Optional[str] = None) -> None:
        if platform.machine() != "x86_64":
            # Indexes are stored with plain moves; only x86-64 keeps them in order with the slot.
            raise TavrikError(f"the Python client runs on x86-64 Linux, not {platform.machine()}")
        self.namespace = (default_namespace() if namespace is None
                          else check_namespace(namespace))
        self._cmd: Optional[_Ring] = None
        self._hit: Optional[_Ring] = None
        self._cmd_event = self._hit_event = 0
        # Rings outlive their worker on purpose, so only the liveness test tells whether anyone
        # will read what is published.
        if not worker_running(self.namespace):
            raise WorkerNotRunningError(
                f"no Tavrik worker is running in namespace '{self.namespace}'; {_START_HINT}")
        try:
            self._cmd = _Ring(self.namespace, "CmdRingMMF", COMMAND_RING_BYTES)
            self._hit = _Ring(self.namespace, "HitRingMMF", HIT_RING_BYTES)
            self._cmd_event = _open_event(self.namespace, "CmdRingEvent")
            self._hit_event = _open_event(self.namespace, "HitRingEvent")
        except BaseException:
            self._release()
            raise
        self._publishing = threading.Lock()  # flock serialises processes, this our threads
        self._waiters = _HitWaiters(lambda timeout: _libc.wait(self._hit_event, timeout))
        self._life = threading.Condition()
        self._users = 0
        self._closed = False
        self._reading = False

    # --- state --------------------------------------------------------------------------------

    @property
    def worker_running(self) -> bool:
        """True while a worker runs in this client's namespace (see worker_running())."""
        with self._use():
            return worker_running(self.namespace)

    @property
    def pending_commands(self) -> int:
        """Commands published and not yet taken by the worker (at most 64)."""
        with self._use():
            header = self._rings()[0].header
            return (header[0] - header[1]) & _MASK

    @property
    def pending_hits(self) -> int:
        """Hit-ring messages waiting for the reader."""
        with self._use():
            header = self._rings()[1].header
            return (header[0] - header[1]) & _MASK

    @property
    def dropped_hits(self) -> int:
        """Messages the worker dropped because 64 were waiting unread (wraps at 2**32)."""
        with self._use():
            return self._rings()[1].header[2]

    # --- commands -----------------------------------------------------------------------------

    def add(self, name: str, path: str, process: str, roi: Tuple[int, int, int, int], *,
            threshold: float = 0.0, cooldown_ms: int = 0, baseline_margin: float = 0.0,
            spare: float = 0.0, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Registers (or replaces) a template; the worker evaluates it from then on, every
        `cooldown_ms` at most, and reports each decision under hit_name_of(name).

        name: 1 to 32 UTF-16 units; its part before the first ':' is its kind ("t1", "t2", "t3"
        or any other) and the name its hits carry, which must be 1 to 30 units.
        path: the template image, 1 to 64 units; absolute, or relative to the worker's search
        folders. process: the target's image name ("game.exe" or "game", any case), 1 to 16
        units. roi: (x, y, width, height) relative to the target's client area, sizes at least 1.
        threshold: at most 1; 0 or less asks for the worker's default, 0.9 ("t2" uses 0.97).
        cooldown_ms: not negative. baseline_margin: shown in the worker's log. spare: carried,
        not used. timeout: seconds to wait for a free slot.

        Raises ValueError or TypeError for a field the worker would cut or change, TimeoutError
        when no slot came free in time."""
        self._publish(add_slot(name, path, process, roi, threshold, cooldown_ms, baseline_margin,
                               spare), timeout)

    def remove(self, name: str, *, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Unregisters the template of that full name (1 to 32 units)."""
        self._publish(remove_slot(name), timeout)

    def clear(self, *, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Unregisters every template."""
        self._publish(bare_slot(CLEAR), timeout)

    def heartbeat(self, timeout: float = 1.0) -> bool:
        """Asks the worker for a heartbeat; True when its answer arrived within `timeout` seconds.
        Raises HitRingFullError when no answer came and the worker dropped messages meanwhile
        (64 waited unread)."""
        return self._request_reply(HEARTBEAT, "__hb__:CMD", True, timeout) is not None

    def version(self, timeout: float = 1.0) -> str:
        """The worker's protocol version ("0.2.4"). Raises TimeoutError without an answer,
        HitRingFullError when no answer came and the worker dropped messages meanwhile."""
        reply = self._request_reply(VERSION, "__ver__:", False, timeout)
        if reply is None:
            raise TimeoutError(f"the worker did not answer a version request within {timeout} s")
        return reply.name[len("__ver__:"):]

    # --- the hit ring -------------------------------------------------------------------------

    def hits(self, *, duration: Optional[float] = None,
             stop: Optional[threading.Event] = None) -> Iterator[HitMessage]:
        """The hit ring's messages in order, each taken from the ring (this client becomes the
        ring's one reader). Waits on the ring's event while nothing is pending. Ends after
        `duration` seconds, or once `stop` is set; otherwise runs until the caller stops.

        Raises RuntimeError when another iteration of this client's hits() is running."""
        with self._life:
            if self._reading:
                raise RuntimeError("hits() is already being iterated; the hit ring has one reader")
            self._reading = True
        try:
            end = None if duration is None else time.monotonic() + duration

            def finished() -> bool:
                return (stop is not None and stop.is_set()) or (
                    end is not None and time.monotonic() >= end)

            while not finished():
                with self._use():
                    message = self._take()
                    if message is None:
                        left = _WAIT_SLICE if end is None else min(_WAIT_SLICE,
                                                                     end - time.monotonic())
                        self._waiters.wait(lambda: self._pending_hits() != 0 or finished(),
                                           max(0.0, left))
                        continue
                yield message  # outside _use(): a suspended iteration must not keep close() waiting
        finally:
            with self._life:
                self._reading = False

    def _pending_hits(self) -> int:
        header = self._rings()[1].header
        return (header[0] - header[1]) & _MASK

    def _take(self) -> Optional[HitMessage]:
        ring = self._rings()[1]
        # Acquire (x86-64 keeps loads in order): pairs with the worker's release store of
        # writeIndex; the slot is complete once the index says so.
        w = ring.header[0]
        r = ring.header[1]
        if w == r:
            return None
        if (w - r) & _MASK > SLOT_COUNT:
            # A reader ran ahead: the worker drops everything until the indexes agree again, and
            # the slots are not trustworthy.
            ring.header[1] = w
            return None
        offset = HEADER_BYTES + (r & SLOT_MASK) * HIT_SLOT_BYTES
        message = decode_hit(ring.map[offset:offset + HIT_SLOT_BYTES])
        self._waiters.offer(r, message)
        # Release (x86-64 keeps stores in order): pairs with the worker's acquire load of
        # readIndex; the copy is complete before the slot may be reused.
        ring.header[1] = (r + 1) & _MASK
        return message

    def _peek(self, index: int) -> Optional[HitMessage]:
        """Message `index` copied without consuming it; None when it is not written yet or a
        reader took it (its slot may already hold a newer message)."""
        ring = self._rings()[1]
        if _at_or_after(index, ring.header[0]) or not _at_or_after(index, ring.header[1]):
            return None
        offset = HEADER_BYTES + (index & SLOT_MASK) * HIT_SLOT_BYTES
        raw = ring.map[offset:offset + HIT_SLOT_BYTES]
        # The slot is reused only once the reader has passed it.
        if not _at_or_after(index, ring.header[1]):
            return None
        return decode_hit(raw)

    def _request_reply(self, command: int, prefix: str, exact: bool,
                       timeout: float) -> Optional[HitMessage]:
        # Publishes the request and looks for the reply among the messages published after it,
        # without taking any: the messages belong to the reader.
        _check_timeout(timeout)
        deadline = time.monotonic() + timeout
        with self._use():
            header = self._rings()[1].header
            dropped_before = header[2]
            waiter = self._waiters.expect(prefix, exact, header[0])
            try:
                self._publish(bare_slot(command), timeout)
                index = waiter.start
                while True:
                    if self._waiters.reply_of(waiter) is not None:
                        break
                    while index != header[0]:
                        # A message the reader took was offered to the waiter before it was
                        # released: skipping it loses nothing.
                        message = self._peek(index)
                        index = (index + 1) & _MASK
                        if message is not None and waiter.matches(message.name):
                            return message
                    left = deadline - time.monotonic()
                    if left <= 0 or self._closed:
                        break
                    seen = index
                    self._waiters.wait(
                        lambda: header[0] != seen or self._waiters.reply_of(waiter) is not None,
                        min(left, _WAIT_SLICE))
                reply = self._waiters.reply_of(waiter)
                # A message dropped while we waited may have been the answer: that is no sign of
                # a dead worker.
                dropped = (header[2] - dropped_before) & _MASK
                if reply is None and dropped:
                    raise HitRingFullError(
                        "the hit ring was full (64 messages nobody had read), and the worker "
                        f"dropped {dropped} message(s) while waiting, perhaps its answer; read the "
                        "messages with hits()")
                return reply
            finally:
                self._waiters.forget(waiter)

    def _publish(self, slot: bytes, timeout: float) -> None:
        """Publishes one slot as a well-behaved producer: holding the producer lock, never more
        than 64 slots ahead of the worker, slot before index, index before signal."""
        _check_timeout(timeout)
        deadline = time.monotonic() + timeout
        with self._use():
            ring = self._rings()[0]
            if not self._publishing.acquire(timeout=timeout):
                raise TimeoutError(f"another thread of this process kept publishing for {timeout} s")
            try:
                self._take_producer_lock(ring.fd, deadline, timeout)
                try:
                    self._write_slot(ring, slot, deadline, timeout)
                finally:
                    fcntl.flock(ring.fd, fcntl.LOCK_UN)
            finally:
                self._publishing.release()

    def _take_producer_lock(self, fd: int, deadline: float, timeout: float) -> None:
        # flock belongs to the open file description: our own shm_open of the command ring
        # competes with every other producer's. It has no timed form; the non-blocking form is
        # retried, quickly at first.
        pause = 0.001
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                pass
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("another producer (tavrik-ctl, another client) held the command "
                                   f"ring's producer lock for {timeout} s")
            time.sleep(min(pause, left))
            pause = min(pause * 2, 0.02)

    def _write_slot(self, ring: _Ring, slot: bytes, deadline: float, timeout: float) -> None:
        # The worker frees slots without telling anyone, so room is polled, quickly at first.
        pause = 0.001
        while True:
            w = ring.header[0]  # only producers store it, and we hold their lock
            # Acquire (x86-64 keeps loads in order): pairs with the worker's release store of
            # readIndex; a slot it has released is no longer being copied.
            r = ring.header[1]
            if (w - r) & _MASK < SLOT_COUNT:
                offset = HEADER_BYTES + (w & SLOT_MASK) * COMMAND_SLOT_BYTES
                ring.map[offset:offset + COMMAND_SLOT_BYTES] = slot
                # Release (x86-64 keeps stores in order): pairs with the worker's acquire load of
                # writeIndex; the slot is complete before the index says so.
                ring.header[0] = (w + 1) & _MASK
                _libc.signal(self._cmd_event)
                return
            if self._closed:
                raise ValueError("the client was closed")
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"64 commands are pending and the worker took none of them "
                                   f"within {timeout} s; it is stopped or hung")
            time.sleep(min(pause, left))
            pause = min(pause * 2, 0.02)

    # --- lifetime -----------------------------------------------------------------------------

    def _rings(self) -> Tuple[_Ring, _Ring]:
        assert self._cmd is not None and self._hit is not None
        return self._cmd, self._hit

    @contextmanager
    def _use(self) -> Iterator[None]:
        """Keeps the mappings alive for one call; close() waits for every call in progress."""
        with self._life:
            if self._closed:
                raise ValueError("the client is closed")
            self._users += 1
        try:
            yield
        finally:
            with self._life:
                self._users -= 1
                self._life.notify_all()

    def close(self) -> None:
        """Detaches from the worker. Registered templates stay registered."""
        with self._life:
            if self._closed:
                return
            self._closed = True
            self._life.wait_for(lambda: self._users == 0)
        self._release()

    def _release(self) -> None:
        for ring in (self._hit, self._cmd):
            if ring is not None:
                ring.close()
        for handle in (self._hit_event, self._cmd_event):
            if handle:
                _libc.sem_close(handle)
        self._cmd = self._hit = None
        self._cmd_event = self._hit_event = 0

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _check_timeout(timeout: float) -> None:
    if not timeout >= 0:
        raise ValueError(f"timeout is {timeout}; it must not be negative")
