"""vkprint: one write per call, keyword-only options, import-time stream."""

import io

import pytest

from conftest import run_python


class Recorder:
    def __init__(self):
        self.calls = []

    def write(self, text):
        self.calls.append(text)
        return 12345


class Loud:
    """An object whose conversion is recorded."""

    def __init__(self, log, text):
        self.log, self.text = log, text

    def __str__(self):
        self.log.append(self.text)
        return self.text


class Shouting(str):
    def __str__(self):
        return self.upper()


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, "\n"),
    ((1, "a", 2.5), {}, "1 a 2.5\n"),
    ((1, "a", 2.5), {"sep": "", "end": ""}, "1a2.5"),
    (("x", None, [1, 2], {"k": 3}), {"sep": " | ", "end": "<END>\n"}, "x | None | [1, 2] | {'k': 3}<END>\n"),
    (("中文", b"raw"), {"sep": "，"}, "中文，b'raw'\n"),
    ((Shouting("abc"), "abc"), {}, "ABC abc\n"),
])
def test_one_write_of_the_whole_text(vk, args, kwargs, expected):
    out = Recorder()
    assert vk.vkprint(*args, file=out, **kwargs) is None
    assert out.calls == [expected]


def test_bare_call_writes_a_line_feed_to_a_real_stream(vk):
    stream = io.StringIO()
    vk.vkprint(file=stream)
    vk.vkprint("two", "words", file=stream)
    assert stream.getvalue() == "\ntwo words\n"


def test_exact_str_passes_unchanged(vk):
    class Sep(str):
        pass
    out = Recorder()
    vk.vkprint("a", "b", sep=Sep("+"), file=out)
    assert out.calls == ["a+b\n"]


@pytest.mark.parametrize("kwargs, error, converted", [
    ({"sep": None}, AttributeError, []),
    ({"sep": b"-"}, TypeError, ["one", "two"]),
    ({"end": None}, TypeError, ["one", "two"]),
    ({"end": b"\n"}, TypeError, ["one", "two"]),
    ({"file": None}, AttributeError, ["one", "two"]),
])
def test_none_or_wrong_options_raise_and_write_nothing(vk, kwargs, error, converted):
    log = []
    out = Recorder()
    kwargs.setdefault("file", out)
    with pytest.raises(error):
        vk.vkprint(Loud(log, "one"), Loud(log, "two"), **kwargs)
    assert out.calls == []
    assert log == converted


def test_conversion_error_propagates(vk):
    class Broken:
        def __str__(self):
            raise RuntimeError("no text")
    out = Recorder()
    with pytest.raises(RuntimeError, match="no text"):
        vk.vkprint("ok", Broken(), file=out)
    assert out.calls == []


def test_custom_separator_gets_a_lazy_sequence(vk):
    log = []
    seen = {}

    class Sep:
        def join(self, items):
            seen["before"] = list(log)
            seen["items"] = list(items)
            seen["after"] = list(log)
            return "|".join(seen["items"])

    out = Recorder()
    vk.vkprint(Loud(log, "p"), "q", Loud(log, "r"), sep=Sep(), file=out)
    assert seen == {"before": [], "items": ["p", "q", "r"], "after": ["p", "r"]}
    assert out.calls == ["p|q|r\n"]


def test_in_place_addition_of_end(vk):
    class End:
        def __radd__(self, text):
            return text + "!"
    out = Recorder()
    vk.vkprint("hi", end=End(), file=out)
    assert out.calls == ["hi!"]


@pytest.mark.parametrize("call, message", [
    ("vk.vkprint('x', flush=True)", "vkprint() got an unexpected keyword argument 'flush'"),
    ("vk.vkprint('x', sep=' ', sep2=1)", "vkprint() got an unexpected keyword argument 'sep2'"),
])
def test_unknown_keywords(vk, call, message):
    with pytest.raises(TypeError) as info:
        eval(call)
    assert str(info.value) == message


def test_introspection(vk):
    import inspect
    assert vk.vkprint.__defaults__ is None
    kw = vk.vkprint.__kwdefaults__
    assert list(kw) == ["sep", "end", "file"]
    assert kw["sep"] == " " and kw["end"] == "\n"
    assert kw["file"] is not None and hasattr(kw["file"], "write")
    params = inspect.signature(vk.vkprint).parameters
    assert [(p.name, p.kind.name) for p in params.values()] == [
        ("objects", "VAR_POSITIONAL"), ("sep", "KEYWORD_ONLY"), ("end", "KEYWORD_ONLY"), ("file", "KEYWORD_ONLY")]
    assert vk.vkprint.__doc__ == (
        "\n    类似 print 功能的函数\n    :param objects: 要打印的对象\n    :param sep: 对象之间的分隔符\n"
        "    :param end: 打印结束时的字符\n    :param file: 输出的文件对象，默认为标准输出\n    ")


def test_default_stream_is_the_stdout_of_import_time():
    proc = run_python(
        "import io, sys\n"
        "import simwin; simwin.activate(windows=False)\n"
        "import velka_code\n"
        "assert velka_code.vkprint.__kwdefaults__['file'] is sys.stdout\n"
        "later = io.StringIO()\n"
        "sys.stdout = later\n"
        "velka_code.vkprint('to', 'import-time', 'stdout')\n"
        "explicit = io.StringIO()\n"
        "velka_code.vkprint('given', file=explicit)\n"
        "sys.stdout = sys.__stdout__\n"
        "print('later held', repr(later.getvalue()), 'explicit held', repr(explicit.getvalue()))\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "to import-time stdout\nlater held '' explicit held 'given\\n'\n"


def test_stream_is_not_flushed(vk, tmp_path):
    path = tmp_path / "out.txt"
    with open(path, "w", buffering=1 << 16) as f:
        vk.vkprint("buffered", file=f)
        assert path.read_text() == ""
    assert path.read_text() == "buffered\n"


def test_str_subclass_separator_uses_its_own_join(vk):
    class Bar(str):
        def join(self, items):
            return "|".join(f"[{item}]" for item in items)

    out = Recorder()
    vk.vkprint("a", 1, sep=Bar("-"), file=out)
    assert out.calls == ["[a]|[1]\n"]
