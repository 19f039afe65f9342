"""Runs the examples of the READMEs and compares what they show.

    python3 scripts/run_examples.py [README.md README.zh-CN.md ...]

An example is a fenced block whose info string starts with ``python``,
written as an interactive session: ``>>>`` and ``...`` lines, then the
output the console shows. Each block runs in a fresh interpreter, in a fresh
temporary folder, on the simulated Windows platform; ``python linux`` runs it
on this host as itself (the module still needs the simulated platform's
stand-in modules to import). ``python serve=URL``, for the examples of the
blocking servers, opens URL as a browser would once the server answers (one
request) and then presses Ctrl+C. The block runs on a free port instead of
the one URL names: that number is rewritten wherever it stands in the block,
so that another program holding the port, or another run of these examples,
cannot make it fail.

The child's HOME is a fresh folder and ``python`` on its PATH is this
interpreter. Everything the console would show is compared, line by line:
the echoed values, printed lines, the output of child processes, and for an
exception the traceback's first and last lines. ``...`` in an expected line
stands for any text within that line (as doctest's ELLIPSIS, but never for a
line break, so it cannot hide lines); nothing else is ignored.

A ``python file=NAME`` block is a file, and a ``console`` block holds
``$ `` command lines, each followed by what it prints: the files of a README
are written into one fresh folder, where its commands run (``python`` is
this interpreter, ``pytest`` its pytest with the simulated_windows fixture
of this checkout) and must end with status 0 and show that output.

tests/test_docs.py runs every block through ``run_block`` and the files and
commands through ``run_commands``.
"""

import doctest
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
READMES = ("README.md", "README.zh-CN.md")
TRACEBACK_HEADER = "Traceback (most recent call last):\n"
FENCE = re.compile(r"^```(\S*)(.*)$")


class Block:
    """One python block of a README."""

    def __init__(self, path, line, options, source):
        self.path, self.line, self.source = path, line, source
        self.linux = "linux" in options
        serve = [word for word in options if word.startswith("serve=")]
        self.serve = serve[0].split("=", 1)[1] if serve else None

    @property
    def id(self):
        return f"{os.path.basename(self.path)}:{self.line}"


def fenced(path, languages=("python", "console")):
    """The fenced blocks of those languages in a Markdown file:
    (line of the fence, language, options, text)."""
    found = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    inside = None
    for number, line in enumerate(lines, 1):
        match = FENCE.match(line.strip()) if line.lstrip().startswith("```") else None
        if inside is None:
            if match and match.group(1) in languages:
                inside = (number, match.group(1), match.group(2).split(), [])
        elif line.strip() == "```":
            start, language, options, body = inside
            found.append((start, language, options, "\n".join(body) + "\n"))
            inside = None
        else:
            inside[3].append(line)
    return found


def file_name(options):
    named = [word.split("=", 1)[1] for word in options if word.startswith("file=")]
    return named[0] if named else None


def blocks(path):
    """The interactive python blocks of a Markdown file, with the line of their fence."""
    return [Block(path, start, options, text) for start, _, options, text in fenced(path, ("python",))
            if file_name(options) is None]


def files(path):
    """{name: text} of the ``python file=NAME`` blocks of a Markdown file."""
    return {file_name(options): text for _, _, options, text in fenced(path, ("python",))
            if file_name(options) is not None}


class Console:
    """One console block: its command lines, each with the output shown after it."""

    def __init__(self, path, line, text):
        self.path, self.line = path, line
        self.commands = []
        for row in text.splitlines(keepends=True):
            if row.startswith("$ "):
                self.commands.append((row[2:].strip(), ""))
            elif self.commands:
                command, want = self.commands[-1]
                self.commands[-1] = (command, want + row)
            else:
                raise ValueError(f"{path}:{line}: a console block starts with a $ command line")

    @property
    def id(self):
        return f"{os.path.basename(self.path)}:{self.line}"


def consoles(path):
    return [Console(path, start, text) for start, _, _, text in fenced(path, ("console",))]


def command_argv(command, python, pytest_options):
    words = shlex.split(command)
    if words[0] == "python":
        return [python, *words[1:]]
    if words[0] == "pytest":
        return [python, "-m", "pytest", *pytest_options, *words[1:]]
    raise ValueError(f"an example command runs python or pytest, not: {command}")


def run_commands(examples, texts, folder, python=sys.executable, checkout=True, timeout=600):
    """Writes the files into folder and runs each console block's commands
    there in turn; returns the failures.

    With ``checkout`` the child finds simwin, and pytest the fixture, in this
    checkout (and velka_code where PYTHONPATH says); without, ``python`` is
    an environment's own interpreter with the package installed, whose
    pytest finds the fixture through the package's entry point.
    """
    work = os.path.join(folder, "work")
    home = os.path.join(folder, "home")
    for made in (work, home):
        os.makedirs(made, exist_ok=True)
    for name, text in texts.items():
        with open(os.path.join(work, name), "w", encoding="utf-8") as f:
            f.write(text)
    env = {name: value for name, value in os.environ.items() if not name.startswith(("PYTEST_", "PYTHON"))}
    env.update(HOME=home, PYTHONIOENCODING="utf-8", COLUMNS="80")
    pytest_options = []
    if checkout:
        inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join([REPO, *inherited])
        # An installed copy's plugin stays out; this checkout's is loaded.
        env["PYTEST_DISABLE_PLUGIN_AUTOLOAD"] = "1"
        pytest_options = ["-p", "simwin.pytest_plugin"]
    checker = doctest.OutputChecker()
    failures = []
    for example in examples:
        for command, want in example.commands:
            child = subprocess.run(command_argv(command, python, pytest_options), cwd=work, env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
            got = child.stdout.decode("utf-8", "replace")
            if child.returncode != 0 or not checker.check_output(want, got, doctest.ELLIPSIS):
                failures.append({"block": example.id, "command": command, "want": want, "got": got,
                                 "status": child.returncode})
    return failures


def describe_commands(failures):
    return "\n".join(f"{failure['block']}: $ {failure['command']} (status {failure['status']})\n"
                     f"expected:\n{failure['want']}got:\n{failure['got']}" for failure in failures)


def expected_text(want):
    """The expected output with a traceback's stack lines left out.

    A traceback is written as its header, an indented ``...`` (or the stack)
    and the exception's own lines; only the header and those are compared.
    """
    if TRACEBACK_HEADER not in want:
        return want
    before, rest = want.split(TRACEBACK_HEADER, 1)
    lines = rest.splitlines(keepends=True)
    while lines and (lines[0].startswith((" ", "\t")) or lines[0].strip() == "..."):
        lines.pop(0)
    return before + TRACEBACK_HEADER + "".join(lines)


def request(url, timeout=5):
    """One GET of url, as a browser makes it; returns the whole answer.

    The connection is reset rather than closed at the end, so that the
    server's port is not held in TIME_WAIT: the module's servers do not set
    SO_REUSEADDR. The option is set before TLS takes the socket over.
    """
    import socket
    import ssl
    import struct
    import urllib.parse

    parts = urllib.parse.urlsplit(url)
    conn = socket.create_connection(("127.0.0.1", parts.port), timeout=timeout)
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if parts.scheme == "https":
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            conn = context.wrap_socket(conn, server_hostname=parts.hostname)
        conn.sendall(f"GET {parts.path or '/'} HTTP/1.1\r\nHost: {parts.netloc}\r\n"
                     "Connection: close\r\n\r\n".encode())
        answer = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except ssl.SSLEOFError:
                break
            if not chunk:
                break
            answer += chunk
        if not answer:
            raise ConnectionError("no answer")
        return answer
    finally:
        conn.close()


def press_ctrl_c_after_a_request(url):
    """Opens url as a browser would, once, then sends SIGINT to this process.

    It tries again only while nothing listens on the port yet; any other
    failure is written to stderr, where the example's comparison shows it.
    The request is answered only once the server loop runs, so the Ctrl+C
    reaches the server while it serves, never the set-up before it.
    """
    import signal
    import threading
    import time

    def watch():
        deadline = time.monotonic() + 60
        while True:
            try:
                request(url)
                break
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    print(f"{url}: nothing listened within 60 s", file=sys.stderr, flush=True)
                    break
                time.sleep(0.1)
            except OSError as error:
                print(f"{url}: {error!r}", file=sys.stderr, flush=True)
                break
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=watch, daemon=True).start()


def lines_match(checker, want, got):
    """Whether got has want's lines, each matched on its own (``...`` within a line)."""
    wanted, shown = want.splitlines(), got.splitlines()
    return len(wanted) == len(shown) and all(
        checker.check_output(w + "\n", g + "\n", doctest.ELLIPSIS) for w, g in zip(wanted, shown))


def run_examples(source, name):
    """Runs the examples of one block in this process; returns the failures."""
    import traceback

    examples = doctest.DocTestParser().get_examples(source, name)
    checker = doctest.OutputChecker()
    namespace = {"__name__": "__main__"}
    failures = []
    sys.stdout.reconfigure(line_buffering=True, write_through=True)
    for example in examples:
        # The console's view: both descriptors, child processes included.
        with tempfile.TemporaryFile() as capture:
            sys.stdout.flush()
            sys.stderr.flush()
            saved = os.dup(1), os.dup(2)
            os.dup2(capture.fileno(), 1)
            os.dup2(capture.fileno(), 2)
            raised = None
            try:
                exec(compile(example.source, name, "single"), namespace)
            except BaseException as exc:  # the console shows every exception
                raised = exc
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os.dup2(saved[0], 1)
                os.dup2(saved[1], 2)
                os.close(saved[0])
                os.close(saved[1])
            capture.seek(0)
            got = capture.read().decode("utf-8", "replace")
        if raised is not None:
            got += TRACEBACK_HEADER + "".join(traceback.format_exception_only(type(raised), raised))
        want = expected_text(example.want)
        if not lines_match(checker, want, got):
            failures.append({"line": example.lineno, "source": example.source, "want": example.want, "got": got})
    return failures


CHILD = """
import json, signal, sys
sys.path.insert(0, {scripts!r})
import run_examples
spec = json.loads(sys.argv[1])
signal.signal(signal.SIGINT, signal.default_int_handler)
import simwin
simwin.activate(windows=not spec["linux"])
if spec["serve"]:
    run_examples.press_ctrl_c_after_a_request(spec["serve"])
failures = run_examples.run_examples(spec["source"], spec["name"])
with open(spec["report"], "w", encoding="utf-8") as f:
    json.dump(failures, f)
"""


def free_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("", 0))
        return probe.getsockname()[1]


def on_a_free_port(source, url):
    """(source, url) with the port of url replaced by a free one throughout."""
    import urllib.parse

    parts = urllib.parse.urlsplit(url)
    port = str(free_port())
    source = re.sub(rf"(?<!\d){parts.port}(?!\d)", port, source)
    return source, parts._replace(netloc=f"{parts.hostname}:{port}").geturl()


def run_block(block, folder, env=None, timeout=180):
    """Runs a block in a child interpreter inside folder; returns (failures, child)."""
    report = os.path.join(folder, ".examples-report.json")
    work = os.path.join(folder, "work")
    home = os.path.join(folder, "home")
    tools = os.path.join(folder, "bin")
    for made in (work, home, tools):
        os.makedirs(made, exist_ok=True)
    # "python" on PATH is this interpreter, as on a Windows machine where
    # Python was installed with its PATH option.
    os.symlink(sys.executable, os.path.join(tools, "python"))
    source, serve = on_a_free_port(block.source, block.serve) if block.serve else (block.source, None)
    spec = {"source": source, "name": block.id, "linux": block.linux, "serve": serve, "report": report}
    full_env = dict(os.environ)
    inherited = [os.path.abspath(p) for p in full_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    full_env["PYTHONPATH"] = os.pathsep.join([REPO, *inherited])
    full_env["PYTHONIOENCODING"] = "utf-8"
    full_env["HOME"] = home
    full_env["PATH"] = os.pathsep.join([tools, full_env.get("PATH", "")])
    full_env.update(env or {})
    child = subprocess.run([sys.executable, "-c", CHILD.format(scripts=os.path.join(REPO, "scripts")),
                            json.dumps(spec)], cwd=work, env=full_env, capture_output=True, text=True,
                           timeout=timeout)
    if not os.path.exists(report):
        return None, child
    with open(report, encoding="utf-8") as f:
        return json.load(f), child


def describe(block, failures, child):
    if failures is None:
        return f"{block.id}: the block did not finish (status {child.returncode})\n{child.stderr}"
    parts = []
    for failure in failures:
        line = block.line + 1 + failure["line"]
        parts.append(f"{block.path}:{line}\n{failure['source']}expected:\n{failure['want']}got:\n{failure['got']}")
    return "\n".join(parts)


def main(paths):
    status = 0
    for path in paths or [os.path.join(REPO, name) for name in READMES]:
        for block in blocks(path):
            with tempfile.TemporaryDirectory() as folder:
                failures, child = run_block(block, folder)
            if failures == []:
                print(f"{block.id}: ok")
            else:
                status = 1
                print(describe(block, failures, child))
        examples = consoles(path)
        if examples:
            with tempfile.TemporaryDirectory() as folder:
                failures = run_commands(examples, files(path), folder)
            if failures:
                status = 1
                print(describe_commands(failures))
            else:
                print(f"{os.path.basename(path)}: {sum(len(e.commands) for e in examples)} commands ok")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
