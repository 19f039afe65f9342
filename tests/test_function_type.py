"""The module's function type behaves like a Python-defined function."""

import gc
import inspect
import itertools
import math
import os
import pickle
import pydoc
import sys
import traceback
import types
import weakref
from unittest import mock

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


# ---------------------------------------------------------------- as a def

def make_peer(params):
    """A def with the same parameters that stores them as a module __init__
    does: the first one is the instance, the rest become its attributes."""
    body = "".join(f"    {params[0]}.{p} = {p}\n" for p in params[1:]) or "    pass\n"
    namespace = {}
    exec(f"def peer({', '.join(params)}):\n{body}", namespace)
    return namespace["peer"]


def outcome(function, nargs, keywords):
    """How a call binds: which argument or default became which parameter,
    or the exception type. Every argument and default is a distinct object."""
    values = [types.SimpleNamespace() for _ in range(nargs + len(keywords))]
    defaults = list(function.__defaults__ or ())
    labels = {id(v): f"arg{i}" for i, v in enumerate(values)}
    labels.update({id(d): f"default{i}" for i, d in enumerate(defaults)})
    try:
        function(*values[:nargs], **dict(zip(keywords, values[nargs:])))
    except TypeError:
        return "TypeError"
    finally:
        written = [(o, dict(vars(o))) for o in values + defaults if vars(o)]
        for o in defaults:
            vars(o).clear()
    assert len(written) == 1
    instance, attributes = written[0]
    return labels[id(instance)], {name: labels[id(value)] for name, value in attributes.items()}


@pytest.mark.parametrize("owner", ["ComplexNumber", "HTTPSServer", "SelfSignedCertificateGenerator"])
def test_binding_and_signature_match_a_def_for_any_defaults(vk, monkeypatch, owner):
    ours = getattr(vk, owner).__init__
    params = list(inspect.signature(ours).parameters)
    peer = make_peer(params)
    monkeypatch.setattr(ours, "__defaults__", ours.__defaults__)
    for ndefaults in range(len(params) + 3):
        defaults = tuple(types.SimpleNamespace() for _ in range(ndefaults)) or None
        ours.__defaults__ = peer.__defaults__ = defaults
        signature = inspect.signature(ours)
        if ndefaults <= len(params):
            # inspect misreads a def whose defaults outnumber its parameters.
            assert signature == inspect.signature(peer)
        for nargs in range(len(params) + 2):
            for size in range(len(params) + 1):
                for keywords in itertools.combinations(params, size):
                    expected = outcome(peer, nargs, keywords)
                    assert outcome(ours, nargs, keywords) == expected, (ndefaults, nargs, keywords)
        # The signature shows the defaults that a call uses.
        bound = signature.bind_partial()
        bound.apply_defaults()
        assert bound.arguments == {p: d for p, d in zip(params[::-1], (defaults or ())[::-1])}


def test_defaults_longer_than_the_parameters_give_their_last_items(vk, monkeypatch):
    monkeypatch.setattr(vk.power, "__defaults__", (5, 2, 3))
    assert (vk.power(), vk.power(4), vk.power(4, 2)) == (8, 64, 16)
    assert str(inspect.signature(vk.power)) == "(x=2, n=3)"
    monkeypatch.setattr(vk.exp, "__defaults__", (1, 2, 3))
    # ln inverts exp with exp's default number of terms, on every path.
    fast = vk.ln(2)
    monkeypatch.setattr(vk, "factorial", math.factorial)
    assert vk.ln(2) == fast


def sin(x, num_terms=10):
    """A Python peer of velka_code.sin for the mock comparison."""
    return x


class HTTPServer:
    """A Python peer of velka_code.HTTPServer for the mock comparison."""

    def __init__(self, port=8000, directory="."):
        self.port, self.directory = port, directory

    def start(self):
        raise AssertionError("not mocked")


def mock_outcomes(sin, server_class, patch_target):
    """What a test using mock's autospec sees, step by step."""
    seen = []

    def attempt(action):
        try:
            seen.append(("ok", action()))
        except TypeError:
            seen.append("TypeError")

    m = mock.create_autospec(sin)
    attempt(lambda: m(1, 2, 3))
    attempt(lambda: m(y=1))
    m(.5, num_terms=3)
    attempt(lambda: m.assert_called_once_with(.5, 3))

    with mock.patch(patch_target, autospec=True) as patched:
        attempt(lambda: patched(1, 2, 3))
        patched(.5, num_terms=3)
        attempt(lambda: patched.assert_called_once_with(.5, 3))

    with mock.patch.object(server_class, "start", autospec=True) as start:
        server = server_class(1, "site")
        server.start()
        attempt(lambda: start.assert_called_once_with(server))
        attempt(lambda: server.start(1))

    instance = mock.create_autospec(server_class, instance=True)
    attempt(lambda: instance.start(1))
    instance.start()
    attempt(lambda: instance.start.assert_called_once_with())
    seen.append(inspect.signature(instance.start))
    return seen


def test_mock_autospec_sees_what_it_sees_for_a_def(vk):
    expected = mock_outcomes(sin, HTTPServer, f"{__name__}.sin")
    assert mock_outcomes(vk.sin, vk.HTTPServer, "velka_code.sin") == expected
    assert "TypeError" in expected and ("ok", None) in expected


def test_the_attributes_of_a_def(vk):
    import builtins

    f = vk.sin
    assert f.__globals__ is vars(vk)
    assert f.__builtins__ is vars(builtins)
    assert f.__closure__ is None
    assert isinstance(f, types.FunctionType) and inspect.isfunction(f)
    assert not inspect.iscoroutinefunction(f) and not inspect.isgeneratorfunction(f)
    assert f.__code__.co_name == "sin" and f.__code__.co_filename == "<velka_code>"
    start = vk.HTTPServer.start.__code__
    assert (start.co_name, start.co_qualname) == ("start", "HTTPServer.start")
    # The type's layout is not for callers, as on a def.
    for name in ("__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"):
        assert not hasattr(f, name) and name not in dir(f)


@pytest.mark.parametrize("name", ["__globals__", "__builtins__", "__closure__", "__code__"])
def test_read_only_attributes_refuse_assignment(vk, name):
    def peer():
        pass

    before = getattr(vk.sin, name)
    for change in (lambda f: setattr(f, name, {}), lambda f: delattr(f, name)):
        with pytest.raises(AttributeError) as ours:
            change(vk.sin)
        if name != "__code__":  # a def's code may be replaced
            with pytest.raises(AttributeError) as theirs:
                change(peer)
            assert str(ours.value) == str(theirs.value)
    assert getattr(vk.sin, name) is before and name not in vk.sin.__dict__


def test_signature_can_be_assigned_and_deleted(vk):
    computed = inspect.signature(vk.sin)
    vk.sin.__signature__ = inspect.Signature()
    try:
        assert str(inspect.signature(vk.sin)) == "()"
        assert "__signature__" in vk.sin.__dict__
    finally:
        del vk.sin.__signature__
    assert inspect.signature(vk.sin) == computed
    with pytest.raises(AttributeError):
        del vk.sin.__signature__


def test_help_names_the_function(vk):
    assert pydoc.render_doc(vk.sin, renderer=pydoc.plaintext).splitlines()[0] == \
        "Python Library Documentation: function sin in module velka_code"


def entries(error):
    return [(frame.filename, frame.name) for frame in traceback.extract_tb(error.__traceback__)]


def test_tracebacks_show_the_function(vk, monkeypatch):
    with pytest.raises(TypeError) as info:
        vk.sqrt("x")
    assert entries(info.value)[-1] == ("<velka_code>", "sqrt")

    with pytest.raises(AttributeError) as info:
        vk.ComplexNumber(1, 2) + "text"
    assert ("<velka_code>", "__add__") in entries(info.value)

    # Through a module function into Python code and back out, in order.
    monkeypatch.setattr(vk, "factorial", lambda n: 1 / 0)
    with pytest.raises(ZeroDivisionError) as info:
        vk.sin(.5)
    assert [name for _, name in entries(info.value)][-2:] == ["sin", "<lambda>"]

    # A call refused by the binding never entered the function, as for a def.
    with pytest.raises(TypeError) as info:
        vk.sqrt()
    assert ("<velka_code>", "sqrt") not in entries(info.value)


def test_failing_calls_do_not_leak(vk):
    def churn():
        for _ in range(2000):
            try:
                vk.sqrt("x")
            except TypeError:
                pass

    churn()
    gc.collect()
    before = sys.getallocatedblocks()
    churn()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def functions_made_at_call_time(vk, monkeypatch):
    """{name: function} for the functions that start() makes: the backend's
    watcher and the HTTPS handler's send_head, caught on their way to the
    thread and to the server."""
    made = {}

    class Thread:
        def __init__(self, target):
            made["monitor_process"] = target

        def start(self):
            pass

    class Stop(Exception):
        pass

    class Server:
        def __init__(self, address, handler):
            made["send_head"] = vars(handler)["send_head"]
            raise Stop

    monkeypatch.setattr(vk, "threading", types.SimpleNamespace(Thread=Thread))
    monkeypatch.setattr(vk, "subprocess", types.SimpleNamespace(Popen=lambda command: "the process"))
    monkeypatch.setattr(vk, "socketserver", types.SimpleNamespace(TCPServer=Server))
    made["server"] = vk.BackendPythonServer("app.py")
    made["server"].start()
    with pytest.raises(Stop):
        vk.HTTPSServer(0, ".").start()
    return made


def nested_peers():
    """The same functions written as defs, for their code's free variables."""
    def start(self):
        process = None

        def monitor_process():
            process.wait()
            print(self.python_file_path)
        return monitor_process

    def https_start():
        handler, key = object, None

        def send_head(self):
            return key or handler.send_head(self)
        return send_head
    return {"monitor_process": start(None), "send_head": https_start()}


@pytest.mark.parametrize("name", ["monitor_process", "send_head"])
def test_a_function_made_at_call_time_names_its_free_variables(vk, monkeypatch, capsys, restore_cwd, name):
    function = functions_made_at_call_time(vk, monkeypatch)[name]
    peer = nested_peers()[name]
    code = function.__code__
    assert code.co_freevars == peer.__code__.co_freevars
    assert len(code.co_freevars) == len(function.__closure__)
    assert code.co_flags == peer.__code__.co_flags
    assert inspect.getclosurevars(function).nonlocals.keys() == set(code.co_freevars)
    assert function.__globals__ is vars(vk)
    with pytest.raises(AttributeError, match="readonly attribute"):
        function.__closure__ = None
    capsys.readouterr()


class Recorder:
    """A process, a server instance, a handler class or a request: records
    what the function asks of it."""

    def __init__(self, path=None):
        self.calls = []
        self.python_file_path = "recorded.py"
        self.path = path

    def wait(self):
        self.calls.append("wait")

    def send_head(self, request):
        self.calls.append("send_head")
        return "served"

    def translate_path(self, path):
        return path

    def send_error(self, status, message):
        self.calls.append((status, message))


def test_an_assigned_cell_is_read_by_the_next_call(vk, monkeypatch, capsys, restore_cwd, tmp_path):
    made = functions_made_at_call_time(vk, monkeypatch)
    capsys.readouterr()
    watcher = made["monitor_process"]
    process, server = Recorder(), Recorder()
    watcher.__closure__[0].cell_contents = process
    watcher.__closure__[1].cell_contents = server
    assert watcher() is None and process.calls == ["wait"]
    assert capsys.readouterr().out == "The backend Python server (recorded.py) has stopped\n"

    send_head = made["send_head"]
    page = tmp_path / "page.txt"
    page.write_text("x")
    handler, request = Recorder(), Recorder(str(page))
    send_head.__closure__[0].cell_contents = handler
    # The key's identity is None until the TLS layer loads it: all refused.
    assert send_head(request) is None and request.calls == [(404, "File not found")]
    assert handler.calls == []
    other = os.stat(tmp_path)
    send_head.__closure__[1].cell_contents = (other.st_dev, other.st_ino)
    assert send_head(request) == "served" and handler.calls == ["send_head"]
    mine = os.stat(page)
    send_head.__closure__[1].cell_contents = (mine.st_dev, mine.st_ino)
    assert send_head(request) is None and request.calls[-1] == (404, "File not found")


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


def code_shape(code):
    return (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_varnames,
            code.co_nlocals, code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS), code.co_name)


@pytest.mark.parametrize("name", ["sin", "join", "vkprint", "getcwd", "HTTPServer.__init__",
                                  "WinRightCilck.sort_order", "ComplexNumber.__truediv__"])
def test_code_describes_the_parameters_as_a_def_does(vk, name):
    ours = vk
    for part in name.split("."):
        ours = getattr(ours, part)
    peer = make_peer_from_signature(inspect.signature(ours), ours.__name__)
    assert code_shape(ours.__code__) == code_shape(peer.__code__)
    assert inspect.getfullargspec(ours) == inspect.getfullargspec(peer)
    # With no override, inspect computes the signature from the code, as for a def.
    ours.__signature__ = None
    try:
        assert str(inspect.signature(ours)) == str(inspect.signature(peer))
    finally:
        del ours.__signature__


def make_peer_from_signature(signature, name):
    namespace = {"defaults": {p.name: p.default for p in signature.parameters.values()}}
    params = []
    for p in signature.parameters.values():
        text = ("*" if p.kind is p.VAR_POSITIONAL else "") + p.name
        if p.default is not p.empty:
            text += f"=defaults[{p.name!r}]"
        if p.kind is p.KEYWORD_ONLY and not any(q.startswith("*") for q in params):
            params.append("*")
        params.append(text)
    exec(f"def {name}({', '.join(params)}): pass", namespace)
    return namespace[name]


@pytest.mark.parametrize("file_name", ["<velka_code>", "velka_code"])
def test_no_file_stands_for_the_source(vk, tmp_path, monkeypatch, file_name):
    (tmp_path / file_name).write_text("x = 'not the source of sin'\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError):
        inspect.getsource(vk.sin)
