"""The digest functions checked against hashlib itself."""

import array
import hashlib
import mmap

import pytest

pytestmark = pytest.mark.windows_safe

NAMES = ["sha256", "sha384", "sha224", "sha1", "sha512", "md5", "blake2b", "sha3_256", "shake_128", "shake_256",
         "sha3_384", "sha3_512", "blake2s"]
HEX_DIGITS = {"sha256": 64, "sha384": 96, "sha224": 56, "sha1": 40, "sha512": 128, "md5": 32, "blake2b": 128,
              "sha3_256": 64, "shake_128": 32, "shake_256": 32, "sha3_384": 96, "sha3_512": 128, "blake2s": 64}


class Text(str):
    pass


def reference(name, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    h = getattr(hashlib, name)(data)
    return h.hexdigest(16) if name.startswith("shake") else h.hexdigest()


INPUTS = {
    "ascii": "hello world",
    "non-ascii": "é",
    "chinese": "数字摘要，测试文本。" * 50,
    "empty-text": "",
    "empty-bytes": b"",
    "bytes": bytes(range(256)) * 9,
    "bytearray": bytearray(b"mutable bytes"),
    "memoryview": memoryview(b"0123456789abcdef")[3:11],
    "str-subclass": Text("子类文本"),
    "array": array.array("I", range(100)),
}


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("key", sorted(INPUTS))
def test_matches_hashlib(vk, name, key):
    data = INPUTS[key]
    result = getattr(vk, name)(data)
    assert result == reference(name, data)
    assert len(result) == HEX_DIGITS[name]
    assert getattr(vk, name)(data=data) == result


@pytest.mark.parametrize("name", NAMES)
def test_mmap_input(vk, name, tmp_path):
    path = tmp_path / "blob"
    path.write_bytes(b"mapped content " * 1000)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert getattr(vk, name)(m) == reference(name, path.read_bytes())


def test_text_equals_its_utf8_bytes(vk):
    assert vk.sha256("é") == vk.sha256(b"\xc3\xa9") == hashlib.sha256(b"\xc3\xa9").hexdigest()


def test_str_subclass_goes_through_its_encode(vk):
    class Odd(str):
        def encode(self, encoding="utf-8", errors="strict"):
            assert (encoding, errors) == ("utf-8", "strict")
            return b"from encode"
    assert vk.md5(Odd("ignored")) == hashlib.md5(b"from encode").hexdigest()
    assert vk.shake_256(Odd("ignored")) == hashlib.shake_256(b"from encode").hexdigest(16)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_buffers_reach_the_constructor_unchanged(vk, kind):
    data = kind(b"payload")
    received = []

    def algorithm(value):
        received.append(value)
        return hashlib.sha1(value)

    assert vk._calculate_hash(data, algorithm) == hashlib.sha1(b"payload").hexdigest()
    assert received[0] is data


def test_calculate_hash(vk):
    assert vk._calculate_hash(b"abc", hashlib.sha1) == vk.sha1(b"abc")
    assert vk._calculate_hash(data="abc", algorithm=hashlib.sha1) == hashlib.sha1(b"abc").hexdigest()
    with pytest.raises(TypeError):
        vk._calculate_hash(b"abc", "sha1")
    with pytest.raises(AttributeError):
        vk._calculate_hash(b"abc", lambda data: object())


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("bad, error", [(123, TypeError), (None, TypeError), ("\ud800", UnicodeEncodeError)])
def test_bad_data(vk, capsys, name, bad, error):
    with pytest.raises(error):
        getattr(vk, name)(bad)
    assert capsys.readouterr().out == ""


def test_names_are_looked_up_when_called(vk, monkeypatch):
    calls = []

    def spy(data, algorithm):
        calls.append((data, algorithm))
        return "spied"

    monkeypatch.setattr(vk, "_calculate_hash", spy)
    assert vk.sha512(b"x") == "spied"
    assert calls == [(b"x", hashlib.sha512)]

    class FakeHashlib:
        @staticmethod
        def shake_128(data):
            return hashlib.shake_128(data + b"!")

    monkeypatch.setattr(vk, "hashlib", FakeHashlib)
    assert vk.shake_128(b"x") == hashlib.shake_128(b"x!").hexdigest(16)
    with pytest.raises(AttributeError):
        vk.shake_256(b"x")


def test_binding_order_and_signatures(vk):
    import inspect
    names = list(vars(vk))
    start = names.index("_calculate_hash")
    assert names[start:start + 14] == ["_calculate_hash", *NAMES]
    for name in ["_calculate_hash", *NAMES]:
        fn = getattr(vk, name)
        assert fn.__doc__ is None and fn.__module__ == "velka_code" and fn.__name__ == name
    assert str(inspect.signature(vk._calculate_hash)) == "(data, algorithm)"
    assert str(inspect.signature(vk.blake2s)) == "(data)"
    with pytest.raises(TypeError, match=r"sha256\(\) takes exactly 1 positional argument \(2 given\)"):
        vk.sha256(b"a", b"b")
