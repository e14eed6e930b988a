"""Slots against the golden bytes of docs/protocol.md, and the checks that keep a command from
reaching the worker in a form it would cut or change."""
from __future__ import annotations

import math
import re
import struct

import pytest

from conftest import source_dir
from tavrik._layout import add_slot, decode_hit, hit_name_of, remove_slot


def golden(tag: str) -> bytes:
    """The hex dump that follows "<!-- golden:<tag> -->" in the protocol document."""
    text = (source_dir() / "docs" / "protocol.md").read_text()
    block = re.search(rf"<!-- golden:{tag} -->\n```\n(.*?)\n```", text, re.S)
    assert block, f"golden dump {tag}"
    data = bytearray()
    for line in block.group(1).splitlines():
        offset, values = line.split(":", 1)
        assert int(offset, 16) == len(data), line
        data += bytes.fromhex(values)
    return bytes(data)


def test_add_writes_the_documents_command_slot():
    slot = add_slot("t2:chest", "img/chest.png", "game.exe", (10, 20, 64, 48), threshold=0.8,
                    cooldown_ms=500, baseline_margin=0.05, spare=0.0)
    assert slot == golden("command-slot")


def test_the_documents_hit_slot_reads_as_its_fields():
    message = decode_hit(golden("hit-slot"))
    assert message.kind == "result"
    assert (message.name, message.timestamp_ms, message.is_hit) == ("badge", 1765100000000, True)
    assert (message.pos_x, message.pos_y, message.roi_width, message.roi_height) == \
        (300, 200, 480, 320)
    as_float32 = [struct.unpack("<f", struct.pack("<f", v))[0] for v in (0.987, 0.9, 0.25)]
    assert [message.score, message.threshold, message.baseline] == as_float32


def add(name="badge:ok", path="badge.png", process="game.exe", roi=(0, 0, 10, 10), threshold=0.0,
        cooldown_ms=0, margin=0.0) -> bytes:
    return add_slot(name, path, process, roi, threshold, cooldown_ms, margin, 0.0)


@pytest.mark.parametrize("arguments, error, message", [
    # Text fields must fit their fields whole and be valid UTF-16 without NUL.
    (dict(process="g" * 17), ValueError, "has 17 UTF-16 units; its field in the command slot holds 16"),
    (dict(name="n" * 31 + ":x"), ValueError, "has 33 UTF-16 units"),
    (dict(path="p" * 65), ValueError, "holds 64"),
    (dict(path=""), ValueError, "path is empty"),
    (dict(path=b"badge.png"), TypeError, "path must be a str"),
    (dict(path="a\0b.png"), ValueError, "NUL character at index 1"),
    (dict(name="ok\ud83d"), ValueError, "unpaired surrogate at index 2"),
    # Hits carry the part before the first ':', at most 30 units.
    (dict(name="n" * 31), ValueError, "only the first 30 of the 31 UTF-16 units"),
    (dict(name="n" * 32), ValueError, "of the 32 UTF-16 units"),
    (dict(name="n" * 29 + "\U0001F600"), ValueError, "of the 31 UTF-16 units"),
    (dict(name=":badge"), ValueError, "its hits would carry an empty name"),
    (dict(name="__hb__:CMD"), ValueError, "taken for the worker's heartbeats"),
    # Numbers the worker would change, or that do not fit the slot.
    (dict(roi=(0, 0, 0, 10)), ValueError, "roi width is 0; it must be at least 1"),
    (dict(roi=(0, 0, 10, -1)), ValueError, "roi height is -1"),
    (dict(roi=(2**31, 0, 10, 10)), ValueError, "roi x is 2147483648; it must fit in 32 bits"),
    (dict(roi=(0, 0, 10)), TypeError, "roi must be a tuple"),
    (dict(threshold=1.5), ValueError, "it must be at most 1"),
    (dict(threshold=math.nan), ValueError, "finite 32-bit float"),
    (dict(cooldown_ms=-1), ValueError, "must not be negative"),
    (dict(margin=1e39), ValueError, "finite 32-bit float"),
])
def test_fields_the_worker_would_change_are_refused(arguments, error, message):
    with pytest.raises(error) as raised:
        add(**arguments)
    assert message in str(raised.value)


def test_full_fields_and_edge_values_are_taken_whole():
    slot = add(name="a" * 30 + ":b", path="p" * 64, process="g" * 16, roi=(-5, 7, 1, 1),
               threshold=-1.0)
    assert slot[44:108].decode("utf-16-le") == "a" * 30 + ":b"
    assert slot[108:236].decode("utf-16-le") == "p" * 64
    assert slot[12:44].decode("utf-16-le") == "g" * 16
    assert struct.unpack_from("<iiiif", slot, 236) == (-5, 7, 1, 1, -1.0)
    # 30 units, the last two a surrogate pair; padded with zeros to the field's end.
    name = "n" * 28 + "\U0001F600"
    assert add(name=name)[44:108] == name.encode("utf-16-le") + b"\0" * 4
    add(name="__ver__:x")  # its hits are named "__ver__", which no process message is

    assert hit_name_of("t2:chest:gold") == "t2" and hit_name_of("badge") == "badge"
    # A template that another client registered under a longer name can still be removed.
    assert remove_slot("r" * 32)[44:108].decode("utf-16-le") == "r" * 32
    with pytest.raises(ValueError, match="holds 32"):
        remove_slot("r" * 33)
