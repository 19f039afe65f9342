"""install: real "pip" runs from a fresh virtual environment against a
package index served on 127.0.0.1 by the module's own HTTPServer."""

import base64
import hashlib
import inspect
import os
import subprocess
import sys
import zipfile

import pytest

from servers_support import ServerProcess

PACKAGES = ("velka-probe", "velka-probe-two")


def wheel(folder, project):
    """A minimal pure-Python wheel of `project` 1.0 with one module."""
    module = project.replace("-", "_")
    files = {
        f"{module}/__init__.py": f"NAME = {project!r}\n",
        f"{module}-1.0.dist-info/METADATA": f"Metadata-Version: 2.1\nName: {project}\nVersion: 1.0\n",
        f"{module}-1.0.dist-info/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\n"
                                         "Tag: py3-none-any\n",
    }
    record = [f"{name},sha256={base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b'=').decode()}"
              f",{len(text.encode())}" for name, text in files.items()]
    files[f"{module}-1.0.dist-info/RECORD"] = "\n".join(record + [f"{module}-1.0.dist-info/RECORD,,"]) + "\n"
    path = os.path.join(folder, f"{module}-1.0-py3-none-any.whl")
    with zipfile.ZipFile(path, "w") as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return path


@pytest.fixture(scope="module")
def index(tmp_path_factory):
    """The URL of a simple index holding the probe packages."""
    root = tmp_path_factory.mktemp("index")
    (root / "packages").mkdir()
    for project in PACKAGES:
        path = wheel(root / "packages", project)
        digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
        page = root / "simple" / project
        page.mkdir(parents=True)
        (page / "index.html").write_text(
            f'<html><body><a href="../../packages/{os.path.basename(path)}#sha256={digest}">'
            f'{os.path.basename(path)}</a></body></html>\n')
    with ServerProcess(f"velka_code.HTTPServer(port, {str(root)!r})") as server:
        server.wait_listening()
        yield f"http://127.0.0.1:{server.port}/simple/"


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    folder = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", str(folder)], check=True, timeout=300)
    return folder


@pytest.fixture
def pip_env(venv, index, monkeypatch):
    """The venv's pip first on PATH, reading no configuration, and every
    index lookup going to the local index."""
    for name in list(os.environ):
        if name.startswith("PIP_"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("PATH", str(venv / "bin") + os.pathsep + os.environ["PATH"])
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    monkeypatch.setenv("PIP_INDEX_URL", index)
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    monkeypatch.setenv("PIP_NO_CACHE_DIR", "1")
    monkeypatch.setenv("PIP_RETRIES", "0")
    # A missing link folder makes every run write a warning on its error stream.
    monkeypatch.setenv("PIP_FIND_LINKS", str(venv / "no-such-folder"))
    yield venv
    subprocess.run([str(venv / "bin" / "pip"), "uninstall", "-y", *PACKAGES], capture_output=True, timeout=120)


def importable(venv):
    code = "import importlib.util as u; print([bool(u.find_spec(m)) for m in ('velka_probe', 'velka_probe_two')])"
    return subprocess.run([str(venv / "bin" / "python"), "-c", code], capture_output=True, text=True).stdout.strip()


class Recording:
    """The real subprocess module, recording each run and its outcome."""

    def __init__(self):
        self.runs = []

    def __getattr__(self, name):
        return getattr(subprocess, name)

    def run(self, *args, **kwargs):
        try:
            result = subprocess.run(*args, **kwargs)
        except subprocess.CalledProcessError as exc:
            self.runs.append((args, kwargs, exc))
            raise
        self.runs.append((args, kwargs, result))
        return result


@pytest.mark.parametrize("mirror", ["index", None])
def test_each_package_is_one_pip_run(vk, pip_env, index, monkeypatch, mirror):
    recording = Recording()
    monkeypatch.setattr(vk, "subprocess", recording)
    mirror_url = index if mirror else mirror
    result = vk.install(["velka-probe", "velka-nothing", "velka-probe-two"], mirror_url=mirror_url)

    option = ["-i", index] if mirror else []
    assert [args for args, _, _ in recording.runs] == [(["pip", "install", *option, name],) for name in
                                                       ("velka-probe", "velka-nothing", "velka-probe-two")]
    assert all(kw == {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, "check": True}
               for _, kw, _ in recording.runs)
    first, failed, last = (outcome for _, _, outcome in recording.runs)
    assert isinstance(failed, subprocess.CalledProcessError)
    assert "No matching distribution found for velka-nothing" in failed.stderr
    assert result == "\n".join([first.stdout + first.stderr, f"安装 velka-nothing 时出现错误: {failed.stderr}",
                                last.stdout + last.stderr])
    assert "Successfully installed velka-probe-1.0" in first.stdout and "no-such-folder" in first.stderr
    assert importable(pip_env) == "[True, True]"


def installed(venv):
    """The venv's distributions as "name==version" lines."""
    listing = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "list", "--format=freeze"],
                             capture_output=True, text=True, check=True, timeout=120).stdout
    return set(listing.split())


class Name(str):
    pass


@pytest.mark.parametrize("modules, added", [
    ("velka-probe", {"velka-probe==1.0"}),
    (Name("velka-probe-two"), {"velka-probe-two==1.0"}),
    ("xy", set()),  # one run for the name "xy", none for "x" or "y"
])
def test_a_string_is_one_package(vk, pip_env, monkeypatch, modules, added):
    before = installed(pip_env)
    recording = Recording()
    monkeypatch.setattr(vk, "subprocess", recording)
    result = vk.install(modules, "")
    assert [args for args, _, _ in recording.runs] == [(["pip", "install", str(modules)],)]
    (_, _, outcome), = recording.runs
    if added:
        assert result == outcome.stdout + outcome.stderr
    else:
        assert result == f"安装 {modules} 时出现错误: {outcome.stderr}"
    assert installed(pip_env) - before == added and before <= installed(pip_env)


def test_nothing_to_install_runs_nothing(vk, monkeypatch):
    monkeypatch.delattr(vk, "subprocess")
    assert vk.install([]) == ""
    with pytest.raises(NameError, match="subprocess"):
        vk.install(["velka-probe"])


@pytest.mark.parametrize("modules, on_path, error", [
    (["velka-probe"], False, FileNotFoundError), ([5], True, TypeError), (5, True, TypeError)])
def test_other_errors_propagate(vk, monkeypatch, tmp_path, modules, on_path, error):
    if not on_path:
        monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(error):
        vk.install(modules, None)
    assert inspect.signature(vk.install).parameters["mirror_url"].default == vk.installlist[0].split(" - ")[0]
