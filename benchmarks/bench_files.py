"""Digests, vkprint and the verified copy against pure-Python peers."""

import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile

from run import REPO, Row

import velka_code as vk

MiB = 1 << 20
CHUNK = 4096

# Copies of hundreds of MiB and child processes: one process, whose rounds
# give the spread.
PROCESSES = 1


def peer_vkprint(*objects, sep=" ", end="\n", file=sys.stdout):
    text = sep.join(o if type(o) is str else str(o) for o in objects)
    text += end
    file.write(text)


def peer_file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


def peer_copy(source_file, destination_file, TrueorFalse=False):
    if os.path.exists(destination_file) and not TrueorFalse:
        print(f"目标文件 {destination_file} 已存在，且不允许覆盖，跳过复制操作。")
        return
    temp = destination_file + "." + os.urandom(6).hex() + ".tmp"
    try:
        source_digest = peer_file_digest(source_file)
        with open(source_file, "rb") as src, open(temp, "xb") as dst:
            while True:
                chunk = src.read(CHUNK)
                if not chunk:
                    break
                dst.write(chunk)
        if source_digest == peer_file_digest(temp):
            os.replace(temp, destination_file)
        else:
            print("文件复制完成，但验证失败：内容不匹配。")
            os.remove(temp)
    except BaseException:
        if os.path.exists(temp):
            os.remove(temp)
        raise


def make_file(folder, size):
    path = os.path.join(folder, f"source-{size // MiB}MiB.bin")
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            f.write(block)
    return path


# Runs `code` in a grandchild and prints the grandchild's peak RSS in KiB,
# so that every figure comes from a fresh process of its own.
PEAK = """
import resource, subprocess, sys
subprocess.run([sys.executable, "-c", sys.argv[1]], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""

SETUP = "import simwin; simwin.activate(windows=False)\nimport velka_code\nimport sys\nsys.path.insert(0, {here!r})\n"


def peak_mib(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in
                                        [REPO, *env.get("PYTHONPATH", "").split(os.pathsep)] if p)
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", PEAK, SETUP.format(here=here) + code], env=env, check=True,
                         capture_output=True, text=True).stdout
    return round(int(out.split()[-1]) / 1024, 1)


def rows():
    data = os.urandom(64 * MiB)
    yield Row("sha256 of 64 MiB bytes", ours=lambda: vk.sha256(data),
              peer=lambda: hashlib.sha256(data).hexdigest(), goal=1.05, note="peer: hashlib directly")
    text = ("数字摘要 digest ✓ " * (MiB // 16 + 1))[:MiB]
    yield Row(f"sha256 of a 1 Mi-character text ({len(text.encode()) // 1024} KiB UTF-8)", ours=lambda: vk.sha256(text),
              peer=lambda: hashlib.sha256(text.encode("utf-8")).hexdigest(), goal=1.05,
              note="peer: hashlib directly")
    ascii_text = "a" * MiB
    yield Row("sha256 of a 1 Mi-character ASCII text", ours=lambda: vk.sha256(ascii_text),
              peer=lambda: hashlib.sha256(ascii_text.encode("utf-8")).hexdigest(), goal=1.05,
              note="peer: hashlib directly")

    objects = (42, "text", 3.25, None, [1, 2])
    sink = io.StringIO()

    def ours_print():
        vk.vkprint(*objects, file=sink)
        if sink.tell() > MiB:
            sink.seek(0)
            sink.truncate()

    def peer_print():
        peer_vkprint(*objects, file=sink)
        if sink.tell() > MiB:
            sink.seek(0)
            sink.truncate()

    yield Row("vkprint of five mixed objects to a StringIO", ours=ours_print, peer=peer_print, goal=1.0,
              note="peer: Python function, same steps")

    folder = tempfile.mkdtemp(prefix="vk-bench-copy-", dir="/tmp")
    try:
        for size in (64 * MiB, 512 * MiB):
            source = make_file(folder, size)
            ours_dest = os.path.join(folder, "ours.bin")
            peer_dest = os.path.join(folder, "peer.bin")
            yield Row(f"copy of {size // MiB} MiB (3 passes, 4096-byte chunks)",
                      ours=lambda: vk.copy(source, ours_dest, True),
                      peer=lambda: peer_copy(source, peer_dest, True), goal=1.10,
                      note="peer: Python function, same passes", rounds=3 if size > 64 * MiB else None,
                      wall_clock=True)
            yield Row(f"peak RSS, copy of {size // MiB} MiB (child process)",
                      ours=peak_mib(f"velka_code.copy({source!r}, {ours_dest!r}, True)"),
                      peer=peak_mib(f"from bench_files import peer_copy\npeer_copy({source!r}, {peer_dest!r}, True)"),
                      unit="MiB", note=f"MiB; import alone: {peak_mib('pass')} MiB")
            for path in (source, ours_dest, peer_dest):
                if os.path.exists(path):
                    os.remove(path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
