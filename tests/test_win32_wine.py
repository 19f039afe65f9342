"""The simulated Windows platform held against a real Win32: every call
sequence that the suite records on the stand-ins (tests/win32_corpus.jsonl),
hand-written ones and generated ones run both on simwin and under wine64,
through windows/win32_harness.cpp, and must answer alike (win32_replay.py)."""

import json
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import win32_replay as replay
from conftest import cursor_file

# Each run generates at least this many sequences.
GENERATED = 2000


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    if sys.platform == "win32":
        pytest.skip("runs on Linux, against wine's Win32")
    if replay.find_wine() is None and not os.environ.get("CI"):
        pytest.skip("wine64 is not installed (scripts/setup test installs it)")
    folder = tmp_path_factory.mktemp("wine")
    try:
        harness = replay.Wine(folder / "harness")
        runner = replay.Replay(harness, folder / "run")
    except replay.WineUnavailable as exc:
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
        ["SetSystemCursor", {"img": 6}, 32512], ["SetSystemCursor", {"img": 6}, 32512]],
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
