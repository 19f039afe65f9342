"""The argument binder on its own, against a def's binding, and the names
an impl reads its bound arguments by.

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
COMPILER = sysconfig.get_config_var("CXX").split()[0] if sysconfig.get_config_var("CXX") else "g++"


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    folder = tmp_path_factory.mktemp("binding_probe")
    target = folder / ("binding_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([COMPILER, "-std=c++20", "-shared", "-fPIC", "-O1", "-Wall", "-Werror",
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


# An impl names the arguments it reads; the names are checked against its
# parameter list when the module is compiled.
IMPL_UNIT = """
#include "core/function_def.hpp"
namespace vk {
PyObject* open_impl(Function*, Args<%s> args) { return %s; }
const FunctionDef open_def{.name = "open"%s};
}
"""


@pytest.mark.parametrize("parameters, read, impl, error", [
    ('"path", "*modes", "buffering"', 'args.get<"buffering">()', ", .impl = impl<open_impl>", None),
    ('"path", "*modes", "buffering"', 'args.get<"modes">()', ", .impl = impl<open_impl>", None),
    ('"path", "*modes", "buffering"', 'args.get<"file">()', ", .impl = impl<open_impl>",
     "the impl's Args name no parameter of that name"),
    ('"path", "*modes", "buffering"', 'args.get<"*modes">()', ", .impl = impl<open_impl>",
     "the impl's Args name no parameter of that name"),
    ('"path", "mode", "path"', 'args.get<"mode">()', ", .impl = impl<open_impl>",
     "each parameter has a name of its own, and at most one is *args"),
    ('"*paths", "*modes"', 'args.get<"paths">()', ", .impl = impl<open_impl>",
     "each parameter has a name of its own, and at most one is *args"),
    ('"path"', 'args.get<"path">()', "", "vk::ImplDef"),
    (", ".join(f'"p{i}"' for i in range(17)), 'args.get<"p16">()', ", .impl = impl<open_impl>",
     "more parameters than a call binds"),
], ids=["keyword-only", "varargs", "unknown-name", "starred-name", "name-twice", "two-varargs", "no-impl",
        "too-many"])
def test_an_impl_reads_only_the_names_of_its_parameter_list(tmp_path, parameters, read, impl, error):
    unit = tmp_path / "impl.cpp"
    unit.write_text(IMPL_UNIT % (parameters, read, impl))
    result = subprocess.run([COMPILER, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                             "-I", os.path.join(SOURCES, "src"), "-I", sysconfig.get_paths()["include"], str(unit)],
                            capture_output=True, text=True)
    if error is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0 and error in result.stderr, result.stderr


@pytest.mark.parametrize("parameters, positional, varargs, kwonly", [
    ("", [], None, []),
    ('"x", "num_terms"', ["x", "num_terms"], None, []),
    ('"*objects", "sep", "end", "file"', [], "objects", ["sep", "end", "file"]),
    ('"self", "*rest", "flag"', ["self"], "rest", ["flag"]),
])
def test_the_parameter_list_is_read_from_the_impls_args(tmp_path, parameters, positional, varargs, kwonly):
    unit = tmp_path / "list.cpp"
    unit.write_text('#include "core/function_def.hpp"\n#include <cstdio>\n'
                    f"PyObject* f(vk::Function*, vk::Args<{parameters}>) {{ return nullptr; }}\n"
                    "int main() {\n  const vk::ParameterList& p = *vk::impl<f>.parameters;\n"
                    '  for (const char* name : p.positional) std::printf("%s,", name);\n'
                    '  std::printf("|%s|", p.varargs ? p.varargs : "-");\n'
                    '  for (const char* name : p.kwonly) std::printf("%s,", name);\n}\n')
    exe = tmp_path / "list"
    subprocess.run([COMPILER, "-std=c++20", "-I", os.path.join(SOURCES, "src"), "-I", sysconfig.get_paths()["include"],
                    str(unit), "-o", str(exe)], check=True, capture_output=True)
    out = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
    assert out == "".join(n + "," for n in positional) + f"|{varargs or '-'}|" + "".join(n + "," for n in kwonly)
