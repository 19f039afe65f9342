"""The simulated Windows platform held against a real Win32: every call
sequence that the suite records on the stand-ins (tests/win32_corpus.jsonl.gz),
hand-written ones and generated ones run both on simwin and under wine64,
through windows/win32_harness.cpp, and must answer alike (win32_replay.py)."""

import gzip
import json
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import win32_replay as replay
from cursors import animated_cursor_file, cursor_file

# Each run generates at least this many sequences.
GENERATED = 2000


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    if sys.platform == "win32":
        pytest.skip("runs on Linux, against wine's Win32")
    if replay.find_wine() is None and not os.environ.get("CI"):
        pytest.skip("wine64 is not installed (scripts/setup test installs it)")
    folder = tmp_path_factory.mktemp("wine")
    harness = None
    try:
        harness = replay.Wine(folder / "harness")
        runner = replay.Replay(harness, folder / "run")
    except replay.WineUnavailable as exc:
        if harness is not None:
            harness.stop()
        pytest.fail("wine cannot run the Win32 harness: %s" % exc)
    yield runner
    harness.stop()


def run_and_check(wine, sequences, minimum):
    results = wine.run(sequences)
    replayed = [r for r in results if not r[4]]
    assert len(replayed) >= minimum, "only %d of %d sequences replayed; skipped: %r" % (
        len(replayed), len(sequences), sorted({r[4] for r in results if r[4]}))
    failures, _ = replay.check(results)
    assert not failures, failures
    return results


# -- hand-written sequences: each behaviour the stand-ins must share with Win32 -------

R = {"r": 1}  # the handle of the sequence's first step
LONG = "n" * 255
LONE = "a\ud800b"  # a lone surrogate, which CPython passes on to the Win32 calls as it is

CASES = {
    "dword and sz round trips": [
        ["CreateKey", {"root": "HKCU"}, "Velka"],
        ["SetValueEx", R, "Size", 0, 4, 0xFFFFFFFF], ["SetValueEx", R, "None", 0, 4, None],
        ["SetValueEx", R, "Text", 0, 1, "tëxt"], ["SetValueEx", R, "Cut", 0, 1, "cut\0here"],
        ["SetValueEx", R, "Empty", 0, 1, ""], ["SetValueEx", R, "Q", 0, 11, 2**40],
        ["SetValueEx", R, "Bin", 0, 3, {"b": ""}], ["SetValueEx", R, "List", 0, 7, ["a", "", "b"]],
        ["QueryValueEx", R, "size"], ["QueryValueEx", R, "NONE"], ["QueryValueEx", R, "text"],
        ["QueryValueEx", R, "cut"], ["QueryValueEx", R, "empty"], ["QueryValueEx", R, "q"],
        ["QueryValueEx", R, "bin"], ["QueryValueEx", R, "list"], ["Close", R]],
    "names ignore case and keep their spelling": [
        ["CreateKey", {"root": "HKCR"}, "VelkaFile\\Shell\\Open"],
        ["CreateKey", {"root": "HKCR"}, "velkafile\\DefaultIcon"], ["Close", {"r": 1}], ["Close", {"r": 2}],
        ["OpenKey", {"root": "HKCR"}, "VELKAFILE", 0, 0x20019],
        ["EnumKey", {"r": 5}, 0], ["EnumKey", {"r": 5}, 1], ["EnumKey", {"r": 5}, 2], ["Close", {"r": 5}]],
    "enumeration order": [
        ["CreateKey", {"root": "HKCU"}, "Order"],
        *[["CreateKey", R, name] for name in ("b", "B2", "a", "Zed", "_u", "[x]", "é", "10", "9")],
        *[["EnumKey", R, i] for i in range(10)],
        *[["SetValueEx", R, name, 0, 1, name] for name in ("b", "A", "_u", "", "C")],
        ["SetValueEx", R, "c", 0, 4, 3],  # keeps the spelling "C"
        *[["EnumValue", R, i] for i in range(6)], ["QueryInfoKey", R], ["Close", R]],
    "a key with sub-keys is never deleted": [
        ["CreateKey", {"root": "HKCR"}, "Parent\\Child"],
        ["DeleteKey", {"root": "HKCR"}, "Parent"], ["OpenKey", {"root": "HKCR"}, "Parent", 0, 0xF003F],
        ["DeleteKey", {"r": 3}, ""], ["DeleteKey", {"root": "HKCR"}, "parent\\CHILD"], ["DeleteKey", {"r": 3}, ""],
        ["QueryInfoKey", {"r": 3}], ["OpenKey", {"root": "HKCR"}, "Parent"], ["Close", {"r": 1}],
        ["Close", {"r": 3}]],
    "missing keys and values, and past the last item": [
        ["OpenKey", {"root": "HKCU"}, "Missing"], ["DeleteKey", {"root": "HKCU"}, "Missing"],
        ["QueryValue", {"root": "HKCU"}, "Missing"], ["CreateKey", {"root": "HKCU"}, "Here"],
        ["QueryValueEx", {"r": 4}, "missing"], ["DeleteValue", {"r": 4}, "missing"], ["EnumKey", {"r": 4}, 0],
        ["EnumValue", {"r": 4}, 0], ["OpenKey", {"root": "HKCU"}, "Here\\Missing\\Deeper"], ["Close", {"r": 4}]],
    "access rights": [
        ["CreateKey", {"root": "HKCU"}, "Rights\\Sub"],
        ["OpenKey", {"root": "HKCU"}, "Rights", 0, 0x20019], ["SetValueEx", {"r": 2}, "x", 0, 4, 1],
        ["DeleteKey", {"r": 2}, "Sub"], ["OpenKey", {"root": "HKCU"}, "Rights", 0, 1], ["EnumKey", {"r": 5}, 0],
        ["DeleteValue", {"r": 5}, "x"], ["OpenKey", {"root": "HKCU"}, "Rights", 0, 0x20006],
        ["QueryValueEx", {"r": 8}, ""], ["SetValueEx", {"r": 8}, "x", 0, 4, 2],
        ["OpenKey", {"root": "HKCU"}, "Rights", 0, 0x80000000], ["SetValueEx", {"r": 11}, "x", 0, 4, 3],
        ["QueryValueEx", {"r": 11}, "X"], ["OpenKey", {"root": "HKCU"}, "Rights", 0, 0x02000000],
        ["SetValueEx", {"r": 14}, "x", 0, 4, 4], ["DeleteKey", {"r": 2}, ""],
        *[["Close", {"r": i}] for i in (1, 2, 5, 8, 11, 14)]],
    "default values": [
        ["SetValue", {"root": "HKCR"}, ".velka", 1, "VelkaFile"], ["QueryValue", {"root": "HKCR"}, ".VELKA"],
        ["CreateKey", {"root": "HKCR"}, "Empty"], ["QueryValue", {"root": "HKCR"}, "Empty"],
        ["QueryValue", {"r": 3}, None], ["QueryValueEx", {"r": 3}, None], ["SetValueEx", {"r": 3}, None, 0, 1, "d"],
        ["QueryValue", {"r": 3}, ""], ["EnumValue", {"r": 3}, 0], ["DeleteValue", {"r": 3}, None],
        ["QueryValue", {"r": 3}, ""], ["Close", {"r": 3}]],
    "backslashes, empty and long names": [
        ["CreateKey", {"root": "HKCU"}, "Tail\\"], ["CreateKey", {"root": "HKCU"}, "a\\\\b"],
        ["CreateKey", {"root": "HKCU"}, "\\Lead"], ["CreateKey", {"root": "HKCU"}, ""],
        ["CreateKey", {"root": "HKCU"}, None], ["CreateKey", {"root": "HKCU"}, LONG],
        ["CreateKey", {"root": "HKCU"}, LONG + "n"], ["CreateKey", {"root": "HKCU"}, LONG + "nn"],
        ["OpenKey", {"root": "HKCU"}, "tail\\", 0, 0x20019], ["OpenKey", {"root": "HKCU"}, "A\\B\\", 0, 0x20019],
        ["EnumKey", {"root": "HKCU"}, 0], ["EnumKey", {"root": "HKCU"}, 1], ["EnumKey", {"root": "HKCU"}, 2],
        ["EnumKey", {"root": "HKCU"}, 3], ["EnumKey", {"root": "HKCU"}, 4], ["EnumKey", {"root": "HKCU"}, 5],
        ["EnumKey", {"root": "HKCU"}, 6], ["SetValueEx", {"r": 1}, "v" * 16383, 0, 4, 1],
        ["SetValueEx", {"r": 1}, "v" * 16384, 0, 4, 1], ["QueryInfoKey", {"root": "HKCU"}],
        *[["Close", {"r": i}] for i in (1, 2, 4, 5, 6, 7, 9, 10)]],
    "read-only keys": [
        ["CreateKey", {"root": "HKCR"}, "Guarded\\Open\\Deep"], ["Close", R], ["@readonly", "HKCR", "Guarded", True],
        ["@readonly", "HKCR", "Guarded\\Open", False], ["OpenKey", {"root": "HKCR"}, "Guarded", 0, 0xF003F],
        ["OpenKey", {"root": "HKCR"}, "Guarded", 0, 0x20019], ["SetValueEx", {"r": 6}, "x", 0, 4, 1],
        ["SetValue", {"root": "HKCR"}, "Guarded", 1, "text"], ["OpenKey", {"root": "HKCR"}, "guarded\\open", 0, 0xF003F],
        ["SetValueEx", {"r": 9}, "x", 0, 4, 1], ["DeleteKey", {"root": "HKCR"}, "Guarded\\Open\\Deep"],
        ["QueryValueEx", {"r": 6}, "x"], ["@readonly", "HKCR", "", True], ["SetValueEx", {"root": "HKCR"}, "y", 0, 4, 2],
        ["OpenKey", {"root": "HKCR"}, "Guarded\\Open", 0, 0x20019], ["Close", {"r": 6}], ["Close", {"r": 9}],
        ["Close", {"r": 15}]],
    "a deleted key's handles": [
        ["CreateKey", {"root": "HKCU"}, "Gone"], ["OpenKey", {"root": "HKCU"}, "Gone", 0, 0],
        ["DeleteKey", {"root": "HKCU"}, "Gone"],
        *[[name, {"r": r}, *args] for r in (2, 1) for name, *args in (
            ["SetValueEx", "x", 0, 4, 1], ["QueryValueEx", "x"], ["DeleteValue", "x"], ["EnumKey", 0],
            ["EnumValue", 0], ["QueryInfoKey"], ["QueryValue", ""], ["SetValue", "", 1, "t"])],
        ["Close", {"r": 1}], ["Close", {"r": 2}]],
    "closed handles": [
        ["CreateKey", {"root": "HKCU"}, "Closed"], ["Close", R], ["Close", R], ["QueryValueEx", R, "x"],
        ["OpenKey", {"root": "HKCU"}, "Closed"], ["Detach", {"r": 5}], ["QueryInfoKey", {"r": 6}],
        ["CloseKey", {"r": 6}], ["CloseKey", {"r": 6}], ["QueryValueEx", {"r": 6}, ""], ["CloseKey", {"root": "HKCU"}]],
    "clipboard": [
        ["GetClipboardData", 13], ["OpenClipboard", None], ["OpenClipboard", None], ["GetClipboardData", 13],
        ["SetClipboardData", 13, "before"], ["EmptyClipboard"], ["SetClipboardData", 13, "你好, wörld"],
        ["GetClipboardData", 13], ["GetClipboardData", 1], ["SetClipboardData", 13, "cut\0here"],
        ["GetClipboardData", 13], ["CloseClipboard"], ["CloseClipboard"], ["EmptyClipboard"],
        ["SetClipboardData", 13, "closed"], ["GetClipboardData", 13], ["OpenClipboard", None],
        ["GetClipboardData", 13], ["EmptyClipboard"], ["GetClipboardData", 13], ["CloseClipboard"]],
    "file attributes": [
        ["@file", 0, ".txt", "78"], ["@dir", 1], ["@none", 2, ".txt", True], ["@none", 3, ".txt", False],
        *[step for word in (0, 1, 2, 4, 0x20, 0x80, 0x100, 0x800, 0x27, 0x80000002, 0x10)
          for slot in (0, 1) for step in (["SetFileAttributesW", {"p": slot}, word],
                                          ["GetFileAttributesW", {"p": slot}])],
        ["GetFileAttributesW", {"p": 2}], ["GetFileAttributesW", {"p": 3}], ["SetFileAttributesW", {"p": 2}, 2],
        ["SetFileAttributesW", {"p": 3}, 2], ["GetFileAttributesW", {"P": 0}], ["SetFileAttributesW", {"p": 0}, 2**32]],
    "current folder": [
        ["@cwd", False], *[["GetCurrentDirectoryW", {"cwd+": d}, {"wbuf": max(d, 0) + 1}] for d in (-5, 0, 1, 2)],
        ["@cwd", True], *[["GetCurrentDirectoryW", {"cwd+": d}, {"wbuf": max(d, 0) + 1}] for d in (-261, 0, 1)]],
    "screen and cursor": [
        ["@file", 0, ".cur", cursor_file().hex()], ["@file", 1, ".cur", "00000200"],
        ["@none", 2, ".cur", True], ["@dir", 3], ["@file", 4, ".ani", "52494646"],
        ["GetSystemMetrics", 0], ["GetSystemMetrics", 1], ["GetSystemMetrics", 9999],
        *[["LoadImage", 0, {"p": slot}, 2, 0, 0, 16] for slot in range(5)],
        ["SetSystemCursor", {"img": 6}, 32512], ["SetSystemCursor", {"img": 6}, 32512],
        # pywin32 passes a number as a resource number, whatever the flags say
        *[["LoadImage", 0, name, 2, 0, 0, flags] for name in (0, 32512, 5, 70000, -1, None, {"b": "6100"}, 1.5)
          for flags in (0, 16)],
        # the edges of the built-in cursors, icons and bitmaps
        *[["LoadImage", 0, name, typ, 0, 0, 0] for typ, name in ((2, 32631), (2, 32647), (2, 32662), (2, 32663),
                                                                 (1, 32518), (1, 32519), (0, 32732), (0, 32733))]],
}


@pytest.fixture(scope="module")
def hand_written(wine):
    names = sorted(CASES)
    results = wine.run([{"test": name, "steps": [["@fresh"]] + CASES[name]} for name in names])
    return dict(zip(names, results))


@pytest.mark.parametrize("name", sorted(CASES))
def test_hand_written_sequences_answer_as_win32(hand_written, name):
    sequence, ours, theirs, contexts, skipped = hand_written[name]
    assert not skipped
    failures, _ = replay.check([hand_written[name]])
    assert not failures, failures
    assert len(ours) == len([step for step in sequence["steps"] if not step[0].startswith("@")])


# -- recorded sequences: every call sequence the suite makes on the stand-ins ----------

def test_recorded_sequences_answer_as_win32(wine):
    with gzip.open(replay.CORPUS, "rt", encoding="utf-8") as f:
        sequences = [json.loads(line) for line in f]
    assert len(sequences) >= 500, "regenerate the corpus: python3 scripts/record-win32-corpus"
    run_and_check(wine, sequences, len(sequences))


# -- generated sequences over a small space of keys, values, paths and texts ------------

KEY_NAMES = ["A", "a", "Key", "KEY", "b\\c", "B\\C\\", "_u", "[x]", "é", "Ä", "10", "9", "", None, "\\lead",
             LONG, LONG + "n", LONG + "nn", "Na me", "Key\\Sub\\Deep", LONE]
VALUE_NAMES = ["", "v", "V", "w", "Ü", None, "x" * 16384, "_v", LONE]
DATA = {1: ["", "text", "tëxt", "cut\0here", "x" * 300, None, LONE], 2: ["%PATH%"], 3: [{"b": ""}, {"b": "0102"}, None],
        4: [0, 1, 0xFFFFFFFF, None, True], 7: [[], ["a", "b"], ["a", "", "b"], None], 11: [0, 2**40], 0: [{"b": "ff"}]}
ACCESS = [0x20019, 0x20006, 0xF003F, 0x1, 0x2, 0x4, 0x8, 0x0, 0x02000000, 0x80000000, 0x40000000, 0x20119, 0x10000]
TEXTS = ["", "abc", "你好", "cut\0here", "wörld", LONE]
WORDS = [0, 0x1, 0x2, 0x4, 0x10, 0x20, 0x80, 0x100, 0x800, 0x1000, 0x2000, 0x80000000]


@st.composite
def registry_steps(draw):
    steps, handles = [["@fresh"]], []
    for _ in range(draw(st.integers(1, 14))):
        if draw(st.integers(0, 9)) == 0:
            steps.append(["@readonly", draw(st.sampled_from(["HKCU", "HKCR"])),
                          draw(st.sampled_from(["", "A", "Key", "b\\c", "b"])), draw(st.booleans())])
        key = draw(st.sampled_from([{"root": "HKCU"}, {"root": "HKCR"}] + [{"r": i} for i in handles]))
        sub_key, value_name = draw(st.sampled_from(KEY_NAMES)), draw(st.sampled_from(VALUE_NAMES))
        kind = draw(st.sampled_from(["OpenKey", "CreateKey", "CreateKeyEx", "DeleteKey", "DeleteValue", "SetValue",
                                     "SetValueEx", "SetValueEx", "QueryValue", "QueryValueEx", "EnumKey",
                                     "EnumValue", "QueryInfoKey", "Close", "CloseKey"]))
        if kind in ("OpenKey", "CreateKeyEx"):
            reserved = draw(st.sampled_from([0, 0, 0, 1])) if kind == "CreateKeyEx" else 0
            step = [kind, key, sub_key, reserved, draw(st.sampled_from(ACCESS))]
        elif kind in ("CreateKey", "QueryValue"):
            step = [kind, key, sub_key]
        elif kind == "DeleteKey":
            step = [kind, key, sub_key if sub_key is not None else ""]
        elif kind in ("DeleteValue", "QueryValueEx"):
            step = [kind, key, value_name]
        elif kind == "SetValue":
            step = [kind, key, sub_key, 1, draw(st.sampled_from(TEXTS))]
        elif kind == "SetValueEx":
            typ = draw(st.sampled_from(sorted(DATA)))
            step = [kind, key, value_name, 0, typ, draw(st.sampled_from(DATA[typ]))]
        elif kind in ("EnumKey", "EnumValue"):
            step = [kind, key, draw(st.sampled_from([0, 0, 1, 2, 5, -1]))]
        elif kind == "Close" and "r" in key:
            step = [kind, key]
        else:
            step = [kind if kind != "Close" else "CloseKey", key]
        steps.append(step)
        if kind in ("OpenKey", "CreateKey", "CreateKeyEx"):
            handles.append(len(steps) - 1)
    return steps


@st.composite
def clipboard_steps(draw):
    steps = [["@fresh"]]
    for _ in range(draw(st.integers(1, 10))):
        kind = draw(st.sampled_from(["OpenClipboard", "CloseClipboard", "EmptyClipboard", "SetClipboardData",
                                     "SetClipboardData", "GetClipboardData", "GetClipboardData"]))
        if kind == "OpenClipboard":
            steps.append([kind, None])
        elif kind == "SetClipboardData":
            data = draw(st.sampled_from(TEXTS + [{"b": "616263"}]))
            steps.append([kind, 1 if isinstance(data, dict) else 13, data])
        elif kind == "GetClipboardData":
            steps.append([kind, draw(st.sampled_from([1, 13]))])
        else:
            steps.append([kind])
    return steps


@st.composite
def file_steps(draw):
    steps = [["@fresh"]]
    for slot in range(3):
        kind = draw(st.sampled_from(["@file", "@dir", "@none", "@gone"]))
        steps.append(["@file", slot, ".txt", "78"] if kind == "@file" else ["@dir", slot] if kind == "@dir"
                     else ["@none", slot, ".txt", kind == "@none"])
    for _ in range(draw(st.integers(1, 10))):
        path = draw(st.sampled_from([{"p": 0}, {"p": 1}, {"p": 2}, {"P": 0}, None, "", {"b": "2f746d70"}]))
        if draw(st.booleans()):
            steps.append(["GetFileAttributesW", path])
        else:
            bits = draw(st.lists(st.sampled_from(WORDS), max_size=3))
            steps.append(["SetFileAttributesW", path, sum(set(bits))])
    return steps


@st.composite
def folder_steps(draw):
    steps = [["@fresh"]]
    for _ in range(draw(st.integers(1, 5))):
        steps.append(["@cwd", draw(st.booleans())])
        for _ in range(draw(st.integers(1, 3))):
            delta = draw(st.sampled_from([-20, -2, -1, 0, 1, 2, 50]))
            steps.append(["GetCurrentDirectoryW", {"cwd+": delta}, {"wbuf": delta + draw(st.integers(0, 2))}])
    return steps


@st.composite
def cursor_steps(draw):
    contents = [cursor_file().hex(), animated_cursor_file().hex(), cursor_file()[:30].hex(), "00000200", ""]
    steps, images = [["@fresh"]], []
    for slot in range(3):
        kind = draw(st.sampled_from(["@file", "@file", "@dir", "@none"]))
        steps.append(["@file", slot, ".cur", draw(st.sampled_from(contents))] if kind == "@file"
                     else ["@dir", slot] if kind == "@dir" else ["@none", slot, ".cur", draw(st.booleans())])
    for _ in range(draw(st.integers(1, 8))):
        kind = draw(st.sampled_from(["LoadImage", "LoadImage", "SetSystemCursor", "GetSystemMetrics"]))
        if kind == "LoadImage":
            name = draw(st.sampled_from([{"p": 0}, {"p": 1}, {"p": 2}, 32512]))
            flags = 0 if isinstance(name, int) else draw(st.sampled_from([0x10, 0x50]))
            size = draw(st.sampled_from([0, 32]))
            steps.append([kind, 0, name, draw(st.sampled_from([2, 2, 1, 0])), size, size, flags])
            images.append(len(steps) - 1)
        elif kind == "SetSystemCursor" and images:
            steps.append([kind, {"img": draw(st.sampled_from(images))}, 32512])
        else:
            steps.append(["GetSystemMetrics", draw(st.sampled_from([0, 1, 80, 9999, -1]))])
    return steps


SEQUENCES = st.one_of(registry_steps(), registry_steps(), registry_steps(), registry_steps(), clipboard_steps(),
                      file_steps(), folder_steps(), cursor_steps())


def generate(count):
    found = []

    @settings(max_examples=count, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(SEQUENCES)
    def collect(steps):
        found.append({"test": "generated", "steps": steps})
    while len(found) < count:
        collect()
    return found


def test_generated_sequences_answer_as_win32(wine):
    sequences = generate(GENERATED)
    results = wine.run(sequences)
    failures, _ = replay.check(results)
    if failures:
        first = next(r for r in results if not r[4] and replay.compare(r[1], r[2], r[3])[0] is not None)
        smallest = replay.shrink(wine, first[0])
        pytest.fail("%s\n\nThe first one, made smaller:\n%s" % (failures, smallest))
    assert sum(1 for r in results if not r[4]) >= GENERATED
