"""The module's function type behaves like a Python-defined function."""

import gc
import inspect
import pickle
import pydoc
import sys
import weakref

import pytest


def test_attributes(vk):
    f = vk.system
    assert (f.__name__, f.__qualname__, f.__module__) == ("system", "system", "velka_code")
    assert f.__doc__ == "通过调用系统命令识别操作系统"
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert vk.home.__annotations__ == {"return": "str"}
    assert vk.remove.__doc__ is None and vk.remove.__defaults__ is None
    assert repr(f).startswith("<function system at 0x")
    assert callable(f) and inspect.isroutine(f)


@pytest.mark.parametrize("call, message", [
    (lambda vk: vk.system(1, 2), "system() takes at most 1 positional argument (2 given)"),
    (lambda vk: vk.remove(), "remove() takes exactly 1 positional argument (0 given)"),
    (lambda vk: vk.remove(1, 2), "remove() takes exactly 1 positional argument (2 given)"),
    (lambda vk: vk.name(1), "name() takes exactly 2 positional arguments (1 given)"),
    (lambda vk: vk.name(newpath=1), "name() takes exactly 2 positional arguments (0 given)"),
    (lambda vk: vk.name(1, 2, 3), "name() takes exactly 2 positional arguments (3 given)"),
    (lambda vk: vk.getcwd(1), "getcwd() takes no arguments (1 given)"),
    (lambda vk: vk.desktop(1, 2), "desktop() takes no arguments (2 given)"),
    (lambda vk: vk.getcwd(x=1), "getcwd() got an unexpected keyword argument 'x'"),
    (lambda vk: vk.join("a", sep="/"), "join() got an unexpected keyword argument 'sep'"),
    (lambda vk: vk.remove(1, path=2), "remove() got multiple values for keyword argument 'path'"),
    (lambda vk: vk.system(nothing=1), "system() got an unexpected keyword argument 'nothing'"),
    (lambda vk: vk.pathq("x", mode=1), "pathq() got an unexpected keyword argument 'mode'"),
])
def test_argument_errors(vk, call, message):
    with pytest.raises(TypeError) as info:
        call(vk)
    assert str(info.value) == message


def test_non_string_keywords_are_refused(vk):
    # Reach the function without the interpreter's own check of ** keys.
    import _testcapi
    with pytest.raises(TypeError, match=r"^remove\(\) keywords must be strings$"):
        _testcapi.pyobject_vectorcall(vk.remove, ("x",), (1,))


def test_keywords_bind_like_a_def(vk, tmp_path):
    target = tmp_path / "f"
    target.write_text("x")
    assert vk.pathq(filepath=str(target), r=vk.READ) is True
    assert vk.pathq(str(target), r=vk.READ) is True
    assert vk.system(none=7) == 7
    assert vk.join("a", "b", "c") == "a/b/c"


def test_defaults_are_read_at_call_time_and_checked_on_assignment(vk, monkeypatch):
    monkeypatch.setattr(vk.system, "__defaults__", (42,))
    assert vk.system() == 42
    assert str(inspect.signature(vk.system)) == "(none=42)"
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        vk.system.__defaults__ = [1]
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        vk.system.__kwdefaults__ = 1
    with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
        vk.system.__annotations__ = ()
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        vk.system.__name__ = 1
    vk.system.__defaults__ = None
    with pytest.raises(TypeError, match=r"system\(\) takes exactly 1 positional argument \(0 given\)"):
        vk.system()


def test_signatures(vk):
    assert str(inspect.signature(vk.system)) == "(none=None)"
    assert str(inspect.signature(vk.join)) == "(*paths)"
    assert str(inspect.signature(vk.name)) == "(oldpath, newpath)"
    assert str(inspect.signature(vk.home)) == "() -> 'str'"
    text = pydoc.render_doc(vk.system, renderer=pydoc.plaintext)
    assert "system(none=None)" in text and "通过调用系统命令识别操作系统" in text


def test_method_binding(vk):
    class Holder:
        probe = vk.system
        path_exists = vk.exists

    holder = Holder()
    # Through an instance the instance is the first argument, as for a def.
    assert holder.probe() is holder
    assert Holder.probe(3) == 3
    with pytest.raises(TypeError, match=r"exists\(\) takes exactly 1 positional argument \(2 given\)"):
        holder.path_exists("x")
    assert inspect.signature(holder.probe).parameters == {}


def test_pickle_by_reference(vk):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(vk.system, protocol)) is vk.system


def test_function_dict_and_weakref(vk):
    vk.exists.marker = 1
    try:
        assert vk.exists.__dict__ == {"marker": 1}
    finally:
        del vk.exists.marker
    ref = weakref.ref(vk.exists)
    assert ref() is vk.exists


def test_errors_and_calls_do_not_leak(vk):
    def churn():
        for _ in range(2000):
            for bad in (lambda: vk.remove(), lambda: vk.name(1, 2, 3), lambda: vk.remove(1, path=2),
                        lambda: vk.getcwd(x=1)):
                try:
                    bad()
                except TypeError:
                    pass
            vk.system(5)
            vk.join("a", "b")
            vk.exists(path="/")

    churn()
    gc.collect()
    before = sys.getallocatedblocks()
    churn()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


class RaisingKey(str):
    """A keyword name whose comparison raises."""

    def __eq__(self, other):
        raise RuntimeError("keyword comparison")

    __hash__ = str.__hash__


def test_keyword_comparison_error_propagates_as_for_a_def(vk):
    def reference(path):
        return path

    for function in (reference, vk.exists):
        with pytest.raises(RuntimeError, match="keyword comparison"):
            function(**{RaisingKey("path"): "x"})
