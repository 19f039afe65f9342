"""Running velka_code servers in child processes for the server tests.

A server blocks in serve_forever, so each one runs in its own interpreter;
the test reads its output, talks to it on 127.0.0.1 and stops it with
SIGINT, as Ctrl+C would.
"""

import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Runs one server; after it ends it reports whether anything still listens on
# the port, binds the port again at once, and reports the directory.
CHILD = textwrap.dedent("""
    import os, socket, sys, warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    import simwin
    simwin.activate(windows=False)
    import velka_code
    port = int(sys.argv[1])
    server = eval(sys.argv[2], {"velka_code": velka_code, "port": port})
    try:
        server.start()
    except KeyboardInterrupt:
        print("INTERRUPTED", flush=True)
    except Exception as error:
        print("FAILED", type(error).__name__, error, flush=True)
    listening = False
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            for row in list(rows)[1:]:
                local, state = row.split()[1], row.split()[3]
                listening |= int(local.rsplit(":", 1)[1], 16) == port and state == "0A"
    print("LISTENING" if listening else "CLOSED", flush=True)
    # Connections the server closed first linger in TIME_WAIT and keep a
    # socket without SO_REUSEADDR from binding; with no traffic it binds.
    probe = socket.socket()
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("", port))
        probe.listen()
        print("REBOUND", flush=True)
    except OSError as error:
        print("BUSY", error.errno, flush=True)
    probe.close()
    print("CWD", os.getcwd(), flush=True)
""")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def child_env(extra=None):
    env = dict(os.environ)
    # Absolute entries, so a child started in another folder imports the
    # same velka_code as this process.
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([REPO, *inherited])
    env["PYTHONUNBUFFERED"] = "1"
    if extra:
        env.update(extra)
    return env


class ServerProcess:
    """A velka_code server built by `expression` (with `port` in scope)."""

    def __init__(self, expression, port=None, cwd=None, env=None):
        self.port = port or free_port()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(self.port), expression],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd, env=child_env(env))
        self.lines = queue.Queue()
        self.seen = []
        # The request log goes to stderr: read as it comes, so that a long
        # run of requests never fills the pipe and stalls the server.
        self._log = []
        self._readers = [threading.Thread(target=self._read, daemon=True),
                         threading.Thread(target=self._read_log, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _read_log(self):
        for line in self.proc.stderr:
            self._log.append(line)

    def next_line(self, timeout=30):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no output within {timeout}s; seen {self.seen}") from None
        if line is not None:
            self.seen.append(line)
        return line

    def wait_listening(self, probe=True):
        line = self.next_line()
        assert line is not None and "listening on port" in line, (line, self.stderr_now())
        if not probe:
            # The socket listens from before the line. A probe connection
            # still being set up when an interrupt lands can stay open in
            # the child (the standard library does the same), which would
            # keep the port busy; tests of the port itself send nothing.
            time.sleep(0.2)
            return line
        # The line comes before serve_forever; wait until a connection succeeds.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return line
            except OSError:
                time.sleep(0.05)
        raise AssertionError("server never accepted a connection")

    def stderr_now(self):
        if self.proc.poll() is None:
            return ""
        self._readers[1].join(30)
        return "".join(self._log)

    def interrupt(self, timeout=30):
        """SIGINT, then the rest of the output; returns (lines, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        return self.finish(timeout)

    def finish(self, timeout=30):
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        rest = []
        while (line := self.next_line(timeout=timeout)) is not None:
            rest.append(line)
        self._readers[1].join(timeout)
        return rest, "".join(self._log)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self._readers:
            reader.join(30)
        self.proc.stdout.close()
        self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def client_env():
    """The environment for independent clients: without the sanitizer
    runtime that a sanitizer run preloads (curl and Chromium hang under it)."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def dump_dom(url, profile, *flags, timeout=90):
    """The DOM headless Chromium rendered for url. Its profile folder is
    also its home: Chromium keeps settings, caches and a certificate
    database under the home folder besides the profile."""
    home = {name: os.path.join(profile, folder) for name, folder in
            (("HOME", ""), ("XDG_CONFIG_HOME", ".config"), ("XDG_CACHE_HOME", ".cache"), ("XDG_DATA_HOME", ".local/share"))}
    result = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         f"--user-data-dir={profile}", "--virtual-time-budget=5000", *flags, "--dump-dom", url],
        capture_output=True, text=True, timeout=timeout, env={**client_env(), **home})
    return result.stdout
