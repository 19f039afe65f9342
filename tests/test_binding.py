"""The argument binder on its own, against a def's binding.

The binder is compiled with a small test extension (tests/native) and asked
to bind every shape of call to every shape of parameter list, with defaults
of any length; a def with the same parameters and defaults binds the same
call, and both must bind the same objects to the same parameters, or both
refuse the call with TypeError.
"""

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import types

import pytest
from hypothesis import given, settings, strategies as st

from conftest import SOURCES

REPO = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    folder = tmp_path_factory.mktemp("binding_probe")
    target = folder / ("binding_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = sysconfig.get_config_var("CXX").split()[0] if sysconfig.get_config_var("CXX") else "g++"
    subprocess.run([compiler, "-std=c++20", "-shared", "-fPIC", "-O1", "-Wall", "-Werror",
                    "-I", os.path.join(SOURCES, "src"), "-I", sysconfig.get_paths()["include"],
                    str(REPO / "tests/native/binding_probe.cpp"), os.path.join(SOURCES, "src/core/binding.cpp"),
                    "-o", str(target)], check=True, capture_output=True)
    spec = importlib.util.spec_from_file_location("binding_probe", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_def(positional, varargs, kwonly):
    params = list(positional) + (["*args"] if varargs else ["*"] if kwonly else []) + list(kwonly)
    bound = list(positional) + (["args"] if varargs else []) + list(kwonly)
    namespace = {}
    exec(f"def f({', '.join(params)}):\n    return ({''.join(name + ', ' for name in bound)})", namespace)
    return namespace["f"]


def outcome(call):
    try:
        return [id(value) if not isinstance(value, tuple) else tuple(map(id, value)) for value in call()]
    except TypeError:
        return "TypeError"


NAMES = ["a", "b", "c", "d", "k", "m"]


@st.composite
def cases(draw):
    npos = draw(st.integers(0, 4))
    positional = NAMES[:npos]
    varargs = draw(st.booleans())
    kwonly = NAMES[4:4 + draw(st.integers(0, 2))]
    defaults = tuple(object() for _ in range(draw(st.integers(0, npos + 2)))) or None
    kwdefaults = {name: object() for name in kwonly if draw(st.booleans())} or None
    nargs = draw(st.integers(0, npos + 2))
    keywords = draw(st.lists(st.sampled_from(NAMES + ["zz"]), unique=True, max_size=4))
    return positional, varargs, kwonly, defaults, kwdefaults, nargs, keywords


@settings(max_examples=600, deadline=None)
@given(cases())
def test_binds_as_a_def_binds(probe, case):
    positional, varargs, kwonly, defaults, kwdefaults, nargs, keywords = case
    peer = make_def(positional, varargs, kwonly)
    peer.__defaults__, peer.__kwdefaults__ = defaults, kwdefaults
    spec = ("f", tuple(positional + kwonly), len(positional), varargs, len(kwonly), defaults, kwdefaults)
    args = [object() for _ in range(nargs)]
    kwargs = {name: object() for name in keywords}
    assert outcome(lambda: probe.bind(spec, *args, **kwargs)) == outcome(lambda: peer(*args, **kwargs))


SPEC = ("f", ("a", "b", "k", "m"), 2, False, 2, (0,), {"k": 1})
# Two positional parameters and *args, no defaults: too few is "at least",
# however many parameters there are.
STARRED = ("f", ("a", "b"), 2, True, 0, None, None)


@pytest.mark.parametrize("spec, call, message", [
    (SPEC, lambda bind, spec: bind(spec, 1, 2, 3), "f() takes at most 2 positional arguments (3 given)"),
    (SPEC, lambda bind, spec: bind(spec), "f() takes at least 1 positional argument (0 given)"),
    (SPEC, lambda bind, spec: bind(spec, 1, a=2), "f() got multiple values for keyword argument 'a'"),
    (SPEC, lambda bind, spec: bind(spec, 1, zz=2), "f() got an unexpected keyword argument 'zz'"),
    (SPEC, lambda bind, spec: bind(spec, 1, **{"k": 2}), "f() missing 1 required keyword-only argument: 'm'"),
    (STARRED, lambda bind, spec: bind(spec, 1), "f() takes at least 2 positional arguments (1 given)"),
])
def test_refusals_use_the_modules_wording(probe, spec, call, message):
    with pytest.raises(TypeError) as info:
        call(probe.bind, spec)
    assert str(info.value) == message
