"""Call overhead and the forwarding helpers against Python peers."""

import importlib.util
import os
import subprocess
import sys
import sysconfig

import velka_code
from run import Row


def system(none=None):
    if none == None:  # noqa: E711 - equality, as the module compares
        raise AssertionError("not measured")
    return none


def exists(path):
    return os.path.exists(path)


def join(*paths):
    return os.path.join(*paths)


def abspath(path):
    return os.path.abspath(path)


def file(path):
    return os.path.isfile(path)


def pathq(filepath, r):
    return os.access(filepath, r)


def import_time_us():
    """What -X importtime attributes to velka_code itself (self time, us)."""
    code = "import simwin; simwin.activate(windows=False); import velka_code"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(__file__)),
                                                      os.environ.get("PYTHONPATH", "")]))
    best = None
    for _ in range(5):
        err = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True,
                             env=env, check=True).stderr
        for line in err.splitlines():
            parts = line.split("|")
            if len(parts) == 3 and parts[2].strip() == "velka_code":
                own = int(parts[0].split(":")[1])
                best = own if best is None else min(best, own)
    return best


def empty_callable():
    """A do-nothing callable of benchmarks/native/empty_call.cpp, built once
    into build/bench-native; None when no C++ compiler is at hand."""
    source = os.path.join(os.path.dirname(__file__), "native", "empty_call.cpp")
    folder = os.path.join(os.path.dirname(os.path.dirname(__file__)), "build", "bench-native")
    target = os.path.join(folder, "empty_call" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        os.makedirs(folder, exist_ok=True)
        try:
            subprocess.run(["g++", "-std=c++20", "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                            source, "-o", target], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            return None
    spec = importlib.util.spec_from_file_location("empty_call", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.make()


def rows():
    here = __file__
    env = {"vk": velka_code, "here": here, "system": system, "exists": exists, "file": file, "abspath": abspath,
           "join": join, "pathq": pathq}
    calls = [
        ("system(5)", "system(5)", None, "call overhead against a def, for reference"),
        ("system(none=5)", "system(none=5)", None, "with a keyword: binding by name, for reference"),
        ("exists(here)", "exists(here)", 1.03, ""),
        ("file(here)", "file(here)", 1.0, ""),
        ("abspath('x')", "abspath('x')", 1.0, ""),
        ("join('a', 'b', 'c')", "join('a', 'b', 'c')", 1.03, ""),
        ("pathq(here, 4)", "pathq(here, 4)", 1.0, ""),
    ]
    for name in ("system", "exists", "file", "abspath", "join", "pathq"):
        env["vk_" + name] = getattr(velka_code, name)
    for label, stmt, goal, note in calls:
        yield Row(label, ours="vk_" + stmt, peer=stmt, goal=goal, env=env, note=note)
        if label == "system(5)" and (empty := empty_callable()) is not None:
            # The floor: what any callable type the interpreter does not
            # specialise costs. A def passes for one the interpreter does.
            env["empty"], env["vk_absolute_value"] = empty, velka_code.absolute_value
            yield Row("a callable that does nothing, (5)", ours="empty(5)", peer="system(5)", env=env,
                      note="the floor against a def, for reference")
            yield Row("system(5) against the floor", ours="vk_system(5)", peer="empty(5)", env=env, goal=1.2,
                      note="call overhead: nothing to do")
            yield Row("absolute_value(-4) against the floor", ours="vk_absolute_value(-4)", peer="empty(-4)",
                      env=env, goal=1.35, note="call overhead and a negation")
    own = import_time_us()
    yield Row("import velka_code, own work (-X importtime)", ours=f"{own} us", peer="-", unit="us",
              note="goal: under 2000 us " + ("(met)" if own is not None and own < 2000 else "(NOT met)"))
