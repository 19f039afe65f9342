"""Servers and certificates: HTTPServer against `python -m http.server`,
SelfSignedCertificateGenerator.generate against the same steps in Python.

The HTTP rows send traffic to 127.0.0.1 only, a bounded number of requests
with a deadline; both servers run as child processes and are stopped here.
"""

import datetime
import http.client
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types

from run import REPO, Row, measure_pair

import velka_code
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

REQUESTS = 2000
FILE_SIZE = 1 << 20
ROUNDS = 10            # the requests alternate between the servers in rounds
DEADLINE = 300.0       # seconds for all HTTP requests of both servers
KEYGEN_RUNS = 60       # generate() calls on each side

# Servers of their own and long rows: one process, whose rounds give the
# spread.
PROCESSES = 1


# --- HTTP ------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def child_env():
    env = dict(os.environ)
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([REPO, *inherited])
    return env


def start_server(argv, port, folder):
    proc = subprocess.Popen(argv, cwd=folder, env=child_env(), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server {argv} exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError(f"server {argv} did not start")


def stop_server(proc):
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def fetch_many(port, count, deadline):
    """count sequential GETs of /blob.bin, each on a new connection;
    returns (seconds, failures)."""
    failures = 0
    start = time.perf_counter()
    for _ in range(count):
        if time.monotonic() > deadline:
            return time.perf_counter() - start, failures + 1
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            conn.request("GET", "/blob.bin")
            response = conn.getresponse()
            body = response.read()
            conn.close()
            if response.status != 200 or len(body) != FILE_SIZE:
                failures += 1
        except OSError:
            failures += 1
    return time.perf_counter() - start, failures


def http_rows():
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "blob.bin"), "wb") as f:
            f.write(os.urandom(FILE_SIZE))
        ours_port, peer_port = free_port(), free_port()
        ours_code = ("import simwin; simwin.activate(windows=False); import velka_code; "
                     f"velka_code.HTTPServer({ours_port}, {folder!r}).start()")
        ours = start_server([sys.executable, "-c", ours_code], ours_port, folder)
        try:
            peer = start_server([sys.executable, "-m", "http.server", str(peer_port), "--bind", "127.0.0.1",
                                 "--directory", folder], peer_port, folder)
        except Exception:
            stop_server(ours)
            raise
        try:
            deadline = time.monotonic() + DEADLINE
            rounds = {"ours": [], "peer": []}
            failures = {"ours": 0, "peer": 0}
            per_round = REQUESTS // ROUNDS
            for r in range(ROUNDS):
                sides = (("ours", ours_port), ("peer", peer_port))
                for side, port in sides if r % 2 == 0 else reversed(sides):
                    seconds, failed = fetch_many(port, per_round, deadline)
                    rounds[side].append(seconds)
                    failures[side] += failed
        finally:
            stop_server(ours)
            stop_server(peer)
    ours_s, peer_s = sum(rounds["ours"]), sum(rounds["peer"])
    ours_failed, peer_failed = failures["ours"], failures["peer"]
    mib = REQUESTS * FILE_SIZE / (1 << 20)
    yield Row(f"HTTPServer: {REQUESTS} GETs of 1 MiB ({ROUNDS} rounds)", ours=rounds["ours"], peer=rounds["peer"],
              goal=1 / 0.95,
              note=(f"throughput {mib / ours_s:.0f} vs {mib / peer_s:.0f} MiB/s, ratio "
                    f"{peer_s / ours_s:.3f} (goal >= 0.95); failed {ours_failed} vs {peer_failed}"))
    yield Row("HTTPServer: failed requests", ours=ours_failed, peer=peer_failed, unit="count",
              note="goal 0 (python -m http.server is the peer)")


# --- certificates -------------------------------------------------------------

def python_generate(common_name, private_key_path, certificate_path, key_size=2048, validity_days=365):
    """generate() written in Python: build both, then write the key privately."""
    private_key = rsa.generate_private_key(public_exponent=65537, key_size=key_size)
    key_pem = private_key.private_bytes(encoding=serialization.Encoding.PEM,
                                        format=serialization.PrivateFormat.PKCS8,
                                        encryption_algorithm=serialization.NoEncryption())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                   .public_key(private_key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(datetime.datetime.utcnow())
                   .not_valid_after(datetime.datetime.utcnow() + datetime.timedelta(days=validity_days))
                   .add_extension(x509.SubjectAlternativeName([x509.DNSName(common_name)]), critical=False)
                   .sign(private_key, hashes.SHA256()))
    certificate_pem = certificate.public_bytes(serialization.Encoding.PEM)
    key_path = os.fspath(private_key_path)

    def resolved(path):
        return os.path.normcase(os.path.realpath(os.fsdecode(path)))

    if resolved(key_path) == resolved(certificate_path):
        raise ValueError(f"private_key_path and certificate_path name the same file: {certificate_path!r}")
    staged = key_path + "." + os.urandom(8).hex() + ".tmp"

    def opener(path, flags):
        return os.open(path, flags | os.O_EXCL, 0o600)

    try:
        with open(staged, "wb", opener=opener) as f:
            f.write(key_pem)
        with open(certificate_path, "wb") as f:
            f.write(certificate_pem)
        os.replace(staged, key_path)
    except BaseException:
        try:
            os.remove(staged)
        except OSError:
            pass
        raise
    print(f"The self-signed certificate is generated, the private key is stored in {private_key_path}, "
          f"and the certificate is stored in {certificate_path} .")


class TimedRsa:
    """rsa with generate_private_key timed, so key generation (the same
    random process on both sides) can be pooled."""

    def __init__(self, real):
        self.real = real
        self.keygen = 0.0

    def generate_private_key(self, **kwargs):
        start = time.perf_counter()
        try:
            return self.real.generate_private_key(**kwargs)
        finally:
            self.keygen += time.perf_counter() - start


def certificate_rows():
    global rsa
    real_rsa = rsa
    with tempfile.TemporaryDirectory() as folder, open(os.devnull, "w") as devnull:
        key, cert = os.path.join(folder, "k.pem"), os.path.join(folder, "c.pem")
        ours_gen = velka_code.SelfSignedCertificateGenerator("bench.test", key, cert)
        stdout = sys.stdout
        sys.stdout = devnull
        try:
            ours_rsa, peer_rsa = TimedRsa(real_rsa), TimedRsa(real_rsa)
            # Per call: the whole call, and its key generation alone.
            ours_calls, peer_calls = [], []
            for _ in range(KEYGEN_RUNS):
                velka_code.rsa = ours_rsa
                keygen, start = ours_rsa.keygen, time.perf_counter()
                ours_gen.generate()
                ours_calls.append((time.perf_counter() - start, ours_rsa.keygen - keygen))
                velka_code.rsa = real_rsa
                rsa = peer_rsa
                keygen, start = peer_rsa.keygen, time.perf_counter()
                python_generate("bench.test", key, cert)
                peer_calls.append((time.perf_counter() - start, peer_rsa.keygen - keygen))
                rsa = real_rsa

            # The work around key generation alone, with one ready key.
            ready = real_rsa.generate_private_key(public_exponent=65537, key_size=2048)
            fixed = types.SimpleNamespace(generate_private_key=lambda **kwargs: ready)
            velka_code.rsa = fixed

            def ours_fixed():
                ours_gen.generate()

            def peer_fixed():
                global rsa
                rsa = fixed
                try:
                    python_generate("bench.test", key, cert)
                finally:
                    rsa = real_rsa

            ours_rest, peer_rest = measure_pair(ours_fixed, peer_fixed)
        finally:
            sys.stdout = stdout
            velka_code.rsa = real_rsa
            rsa = real_rsa
    # Key generation takes a random time; each call is counted with the mean
    # key generation of both sides in place of its own.
    keygen_mean = (ours_rsa.keygen + peer_rsa.keygen) / (2 * KEYGEN_RUNS)
    ours_total, peer_total = (sum(total for total, _ in calls) for calls in (ours_calls, peer_calls))
    yield Row("generate(): 2048-bit key, key generation pooled",
              ours=[keygen_mean + total - keygen for total, keygen in ours_calls],
              peer=[keygen_mean + total - keygen for total, keygen in peer_calls], goal=1.05,
              note=(f"{KEYGEN_RUNS} calls each; raw means {1e3 * ours_total / KEYGEN_RUNS:.1f} vs "
                    f"{1e3 * peer_total / KEYGEN_RUNS:.1f} ms (key generation varies by call)"))
    yield Row("generate(): everything but key generation", ours=ours_rest, peer=peer_rest, goal=1.05,
              note="one ready 2048-bit key; name, certificate, signature, both files")


def rows():
    yield from http_rows()
    yield from certificate_rows()
