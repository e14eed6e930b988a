"""The byte layouts of the two rings, and the checks that keep a command from reaching the worker
in a form it would cut or change.

All numbers are little-endian, floats IEEE 754 single precision, text fixed-width UTF-16. The
worker takes every slot as it comes: text without a terminator runs to the end of its field, a NUL
ends it early, a width below 1 becomes 1. Such a change only shows as a template that never hits,
so every field is checked here and a wrong one raises ValueError (TypeError for a wrong type)
naming the field, the value and the rule.

Pure functions; safe from any thread.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass

SLOT_COUNT = 64
SLOT_MASK = SLOT_COUNT - 1
HEADER_BYTES = 16
COMMAND_SLOT_BYTES = 320
HIT_SLOT_BYTES = 132
COMMAND_RING_BYTES = HEADER_BYTES + SLOT_COUNT * COMMAND_SLOT_BYTES  # 20496
HIT_RING_BYTES = HEADER_BYTES + SLOT_COUNT * HIT_SLOT_BYTES  # 8464

PROCESS_NAME_UNITS = 16
NAME_UNITS = 32
PATH_UNITS = 64
HIT_NAME_UNITS = 30  # the worker stores at most 30 units of a hit's name

ADD, REMOVE, CLEAR, HEARTBEAT, VERSION = 1, 2, 3, 4, 5

# CommandSlot: commandType, cooldownMs, baselineMargin @0; processName @12, name @44, path @108;
# roiX, roiY, roiWidth, roiHeight, threshold, spare @236; 60 reserved bytes @260.
_COMMAND_HEAD = struct.Struct("<iif")
_COMMAND_TAIL = struct.Struct("<iiiiff")
_TEXT_OFFSETS = {"process_name": 12, "name": 44, "path": 108}
# HitSlot: timestampMs, posX, posY, roiWidth, roiHeight, isHit, 4 reserved, score, threshold,
# baseline, name (32 units), 24 reserved.
_HIT = struct.Struct("<qiiiiI4xfff64s24x")
assert _HIT.size == HIT_SLOT_BYTES

_INT32 = (-(2**31), 2**31 - 1)
_FLOAT32_MAX = 3.4028234663852886e38


@dataclass(frozen=True)
class HitMessage:
    """One message of the hit ring: a detection result, a heartbeat or the worker's version."""

    name: str
    """For a result, the template's name before its first ':' (see hit_name_of); otherwise
    "__hb__:CMD", "__hb__:IDLE" or "__ver__:0.2.4"."""
    timestamp_ms: int
    """Wall-clock time, milliseconds since 1970-01-01 UTC."""
    pos_x: int
    pos_y: int
    roi_width: int
    roi_height: int
    is_hit: bool
    score: float
    threshold: float
    baseline: float

    @property
    def kind(self) -> str:
        """"result", "heartbeat" or "version"."""
        if self.name.startswith("__ver__:"):
            return "version"
        if self.name == "__hb__" or self.name.startswith("__hb__:"):
            return "heartbeat"
        return "result"

    def __str__(self) -> str:
        if self.kind != "result":
            return self.name
        return (f"{'HIT' if self.is_hit else 'MISS'} {self.name} score={self.score:.6g} "
                f"threshold={self.threshold:.6g} baseline={self.baseline:.6g} "
                f"pos=({self.pos_x},{self.pos_y}) roi={self.roi_width}x{self.roi_height}")


def hit_name_of(template_name: str) -> str:
    """The name the hits of a template carry: its part before the first ':' ("badge" for
    "badge:ok"), or the whole name."""
    return template_name.split(":", 1)[0]


def decode_hit(slot: bytes) -> HitMessage:
    (timestamp, x, y, width, height, is_hit, score, threshold, baseline,
     name) = _HIT.unpack(slot)
    units = name.decode("utf-16-le", errors="surrogatepass")
    text = units.split("\0", 1)[0]
    # Lone surrogates become U+FFFD, as in every other reader of the ring.
    text = text.encode("utf-16-le", errors="surrogatepass").decode("utf-16-le", errors="replace")
    return HitMessage(text, timestamp, x, y, width, height, is_hit != 0, score, threshold,
                      baseline)


def _check_text(value: object, field: str, units: int) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{field} must be a str, not {type(value).__name__}")
    if not value:
        raise ValueError(f"{field} is empty")
    if "\0" in value:
        raise ValueError(f"{field} contains a NUL character at index {value.index(chr(0))}; "
                         "the worker would end the text there")
    try:
        encoded = value.encode("utf-16-le")
    except UnicodeEncodeError as error:
        raise ValueError(f"{field} has an unpaired surrogate at index {error.start}; it is not "
                         "valid UTF-16 and the worker would replace it") from None
    if len(encoded) // 2 > units:
        raise ValueError(f"{field} {value!r} has {len(encoded) // 2} UTF-16 units; its field in "
                         f"the command slot holds {units}")
    return encoded


def _check_template_name(name: object) -> bytes:
    encoded = _check_text(name, "name", NAME_UNITS)
    assert isinstance(name, str)
    hit_name = hit_name_of(name)
    hit_units = len(hit_name.encode("utf-16-le")) // 2
    if hit_units == 0:
        raise ValueError(f"name {name!r} starts with ':'; its hits would carry an empty name "
                         "(hits carry the part of the name before the first ':')")
    if hit_units > HIT_NAME_UNITS:
        raise ValueError(f"the hits of {name!r} would carry only the first {HIT_NAME_UNITS} of "
                         f"the {hit_units} UTF-16 units of {hit_name!r} (hits carry the part of "
                         "the name before the first ':', at most 30 units); shorten that part")
    # A hit name never holds a ':', so only a bare "__hb__" can pass for a process message.
    if hit_name == "__hb__":
        raise ValueError(f"name {name!r}: its hits would be named '__hb__' and taken for the "
                         "worker's heartbeats")
    return encoded


def _check_int(value: object, field: str, low: int, rule: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{field} must be an int, not {type(value).__name__}")
    if not low <= value <= _INT32[1]:
        raise ValueError(f"{field} is {value}; {rule}")
    return value


def _check_float(value: object, field: str) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"{field} must be a number, not {type(value).__name__}")
    if not math.isfinite(value) or abs(value) > _FLOAT32_MAX:
        raise ValueError(f"{field} is {value}; it must be a finite 32-bit float")
    return float(value)


def add_slot(name: str, path: str, process: str, roi: tuple[int, int, int, int],
             threshold: float, cooldown_ms: int, baseline_margin: float,
             spare: float) -> bytes:
    """The command slot that registers a template; ValueError or TypeError for a bad field."""
    texts = {"name": _check_template_name(name), "path": _check_text(path, "path", PATH_UNITS),
             "process_name": _check_text(process, "process", PROCESS_NAME_UNITS)}
    if not isinstance(roi, tuple) or len(roi) != 4:
        raise TypeError("roi must be a tuple (x, y, width, height)")
    roi_x = _check_int(roi[0], "roi x", _INT32[0], "it must fit in 32 bits")
    roi_y = _check_int(roi[1], "roi y", _INT32[0], "it must fit in 32 bits")
    width = _check_int(roi[2], "roi width", 1,
                       "it must be at least 1 (the worker would raise it to 1, one pixel)")
    height = _check_int(roi[3], "roi height", 1,
                        "it must be at least 1 (the worker would raise it to 1, one pixel)")
    threshold = _check_float(threshold, "threshold")
    if threshold > 1.0:
        raise ValueError(f"threshold is {threshold}; it must be at most 1 (a score is at most 1); "
                         "0 or less asks for the worker's default, 0.9")
    cooldown_ms = _check_int(cooldown_ms, "cooldown_ms", 0,
                             "it must not be negative (0 evaluates the template on every pass)")
    margin = _check_float(baseline_margin, "baseline_margin")
    spare = _check_float(spare, "spare")

    slot = bytearray(COMMAND_SLOT_BYTES)
    _COMMAND_HEAD.pack_into(slot, 0, ADD, cooldown_ms, margin)
    for field, encoded in texts.items():
        offset = _TEXT_OFFSETS[field]
        slot[offset:offset + len(encoded)] = encoded
    _COMMAND_TAIL.pack_into(slot, 236, roi_x, roi_y, width, height, threshold, spare)
    return bytes(slot)


def remove_slot(name: str) -> bytes:
    """The command slot that unregisters a template. Only the field's own limit applies: a name of
    31 or 32 units that another client registered can still be removed."""
    encoded = _check_text(name, "name", NAME_UNITS)
    slot = bytearray(COMMAND_SLOT_BYTES)
    _COMMAND_HEAD.pack_into(slot, 0, REMOVE, 0, 0.0)
    slot[44:44 + len(encoded)] = encoded
    return bytes(slot)


def bare_slot(command_type: int) -> bytes:
    """A command slot that carries nothing but its type (clear, heartbeat, version)."""
    slot = bytearray(COMMAND_SLOT_BYTES)
    _COMMAND_HEAD.pack_into(slot, 0, command_type, 0, 0.0)
    return bytes(slot)
