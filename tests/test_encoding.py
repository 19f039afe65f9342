"""get_encoding and moencoding against real chardet on real files."""

import os
import stat
import sys

import chardet
import pytest

from conftest import run_python

SIMPLIFIED = (
    "春天来了，公园里的花都开了。孩子们在草地上奔跑，老人们坐在长椅上聊天。\n"
    "远处的山上还有一点积雪，河水慢慢地流向东方。我们沿着小路走到湖边，看见许多人在划船，也有人在钓鱼。\n"
    "中午我们在一家小饭馆吃了面条和饺子，老板很热情，还送了我们一壶茶。\n"
    "下午天气变得有些凉，风从北边吹过来，树叶沙沙作响。我们决定早一点回家，路上买了一些新鲜的水果。\n"
    "晚上全家人坐在一起看电视，奶奶讲起她年轻时在乡下种地的故事，大家都听得很认真。\n"
    "这一天过得平淡而愉快，我把它写进了日记里，希望以后还能常常想起。\n"
    "第二天早上下起了小雨，街上的行人撑着各种颜色的雨伞，匆匆忙忙地赶去上班。学校门口，老师正在提醒学生们注意安全。\n"
)
TRADITIONAL = (
    "春天來了，公園裡的花都開了。孩子們在草地上奔跑，老人們坐在長椅上聊天。\n"
    "遠處的山上還有一點積雪，河水慢慢地流向東方。我們沿著小路走到湖邊，看見許多人在划船，也有人在釣魚。\n"
    "中午我們在一家小飯館吃了麵條和餃子，老闆很熱情，還送了我們一壺茶。\n"
    "下午天氣變得有些涼，風從北邊吹過來，樹葉沙沙作響。我們決定早一點回家，路上買了一些新鮮的水果。\n"
    "晚上全家人坐在一起看電視，奶奶講起她年輕時在鄉下種地的故事，大家都聽得很認真。\n"
    "這一天過得平淡而愉快，我把它寫進了日記裡，希望以後還能常常想起。\n"
    "第二天早上下起了小雨，街上的行人撐著各種顏色的雨傘，匆匆忙忙地趕去上班。學校門口，老師正在提醒學生們注意安全。\n"
)
JAPANESE = (
    "春が来て、公園の桜がいっせいに咲きました。子どもたちは芝生の上を走り回り、お年寄りはベンチに座って話をしています。\n"
    "遠くの山にはまだ少し雪が残っていて、川の水はゆっくりと東へ流れていきます。\n"
    "お昼には駅の近くの小さな食堂でうどんを食べました。店のおばあさんはとても親切で、お茶を何杯も入れてくれました。\n"
    "午後になると風が少し冷たくなり、木の葉がさらさらと音を立てました。私たちは早めに家へ帰ることにしました。\n"
    "夜は家族みんなでテレビを見ながら、祖母が若いころ田舎で畑を耕していた話を聞きました。\n"
    "何でもない一日でしたが、とても楽しかったので日記に書いておきました。\n"
    "次の朝は小雨が降っていて、通りの人々はいろいろな色の傘をさして急いで会社へ向かっていました。\n"
)

# (text, codec used to write the file); UTF-16 writes a byte-order mark.
SAMPLES = {
    "utf-8": (SIMPLIFIED, "utf-8"),
    "utf-16-bom": (SIMPLIFIED, "utf-16"),
    "gbk": (SIMPLIFIED, "gbk"),
    "big5": (TRADITIONAL, "big5"),
    "shift_jis": (JAPANESE, "shift_jis"),
}


def write_sample(folder, key):
    text, codec = SAMPLES[key]
    path = folder / f"{key}.txt"
    path.write_bytes(text.encode(codec))
    return path, text


def leftovers(folder, *keep):
    return sorted(set(os.listdir(folder)) - {os.path.basename(str(k)) for k in keep})


def error_lines(out):
    lines = out.splitlines()
    assert len(lines) == 1, out
    assert lines[0].startswith("Error: ")
    return lines[0]


@pytest.mark.parametrize("key", sorted(SAMPLES))
def test_get_encoding_reports_chardets_guess_for_the_whole_file(vk, tmp_path, key):
    path, text = write_sample(tmp_path, key)
    data = path.read_bytes()
    assert len(text) >= 250
    expected = chardet.detect(data)
    encoding, confidence = vk.get_encoding(str(path))
    assert (encoding, confidence) == (expected["encoding"], expected["confidence"])
    assert data.decode(encoding) == text
    assert 0 < confidence <= 1


def test_get_encoding_reads_past_the_first_block(vk, tmp_path):
    # ASCII for 6000 bytes, then Chinese: a guess from the head alone says ascii.
    path = tmp_path / "late.txt"
    path.write_bytes(b"a" * 6000 + SIMPLIFIED.encode("utf-8"))
    encoding, _ = vk.get_encoding(str(path))
    assert encoding == chardet.detect(path.read_bytes())["encoding"]
    assert encoding.lower().replace("_", "-") == "utf-8"


# What the chardet versions that pyproject.toml asks for answer, as the
# documents say.
@pytest.mark.parametrize("content, expected", [(b"", ("utf-8", 0.1)),
                                               (b"plain ascii text\nsecond line\n", ("ascii", 1.0))])
def test_get_encoding_empty_and_ascii(vk, tmp_path, content, expected):
    path = tmp_path / "f.txt"
    path.write_bytes(content)
    result = chardet.detect(content)
    assert vk.get_encoding(path) == (result["encoding"], result["confidence"]) == expected


def test_get_encoding_errors_propagate(vk, tmp_path):
    with pytest.raises(FileNotFoundError):
        vk.get_encoding(str(tmp_path / "absent.txt"))
    with pytest.raises(IsADirectoryError):
        vk.get_encoding(str(tmp_path))


@pytest.mark.parametrize("call", ["get_encoding('x')", "moencoding('x', 'y')"])
def test_missing_chardet_raises_to_the_caller(vk, monkeypatch, tmp_path, capsys, call):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x").write_text("abc")
    monkeypatch.setitem(sys.modules, "chardet", None)
    with pytest.raises(ModuleNotFoundError):
        eval("vk." + call)
    assert capsys.readouterr().out == ""
    assert not (tmp_path / "y").exists()


def test_module_imports_without_chardet():
    proc = run_python("import sys; sys.modules['chardet'] = None\n"
                      "import simwin; simwin.activate(windows=False)\n"
                      "import velka_code\n"
                      "try:\n    velka_code.get_encoding(__file__ if False else 'nothing')\n"
                      "except ModuleNotFoundError as e:\n    print('missing', e.name)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "missing chardet\n"


@pytest.mark.parametrize("key", sorted(SAMPLES))
def test_moencoding_to_utf8(vk, tmp_path, capsys, key):
    source, text = write_sample(tmp_path, key)
    before = source.read_bytes()
    target = tmp_path / "out.txt"
    assert vk.moencoding(str(source), str(target)) is None
    assert capsys.readouterr().out == ""
    # No byte-order mark, same text.
    assert target.read_bytes() == text.encode("utf-8")
    assert source.read_bytes() == before
    assert leftovers(tmp_path, source, target) == []


@pytest.mark.parametrize("key, new_encoding", [("utf-8", "gbk"), ("gbk", "utf-16"), ("shift_jis", "euc_jp"),
                                               ("big5", "big5")])
def test_moencoding_to_other_encodings(vk, tmp_path, key, new_encoding):
    source, text = write_sample(tmp_path, key)
    target = tmp_path / "out.txt"
    vk.moencoding(input_file_path=str(source), output_file_path=str(target), new_encoding=new_encoding)
    assert target.read_bytes().decode(new_encoding) == text


def test_moencoding_replaces_an_existing_output_and_keeps_its_mode(vk, tmp_path):
    source, text = write_sample(tmp_path, "gbk")
    target = tmp_path / "out.txt"
    target.write_text("old content that is longer than nothing\n" * 50)
    os.chmod(target, 0o640)
    vk.moencoding(str(source), str(target))
    assert target.read_text("utf-8") == text
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640


def test_moencoding_new_output_gets_default_permissions(vk, tmp_path):
    source, _ = write_sample(tmp_path, "utf-8")
    target = tmp_path / "new.txt"
    reference = tmp_path / "reference.txt"
    with open(reference, "w"):
        pass
    vk.moencoding(str(source), str(target))
    assert stat.S_IMODE(os.stat(target).st_mode) == stat.S_IMODE(os.stat(reference).st_mode)


def test_moencoding_writes_through_a_symlinked_output(vk, tmp_path):
    source, text = write_sample(tmp_path, "big5")
    real = tmp_path / "real.txt"
    real.write_text("old")
    link = tmp_path / "link.txt"
    link.symlink_to(real)
    vk.moencoding(str(source), str(link))
    assert link.is_symlink()
    assert real.read_text("utf-8") == text


def test_moencoding_ascii_head_then_other_text_fails_without_output(vk, tmp_path, capsys):
    source = tmp_path / "late.txt"
    source.write_bytes(b"x" * 5000 + "\n中文\n".encode("utf-8"))
    target = tmp_path / "out.txt"
    vk.moencoding(str(source), str(target))
    line = error_lines(capsys.readouterr().out)
    assert line.startswith("Error: 'ascii' codec can't decode byte 0xe4")
    assert not target.exists()
    assert leftovers(tmp_path, source) == []


def test_moencoding_failure_leaves_existing_output_untouched(vk, tmp_path, capsys):
    source = tmp_path / "late.txt"
    source.write_bytes(b"y" * 5000 + "\n中文\n".encode("utf-8"))
    target = tmp_path / "out.txt"
    target.write_bytes(b"precious")
    vk.moencoding(str(source), str(target))
    error_lines(capsys.readouterr().out)
    assert target.read_bytes() == b"precious"
    assert leftovers(tmp_path, source, target) == []


def test_moencoding_missing_input(vk, tmp_path, capsys):
    target = tmp_path / "out.txt"
    missing = tmp_path / "absent.txt"
    vk.moencoding(str(missing), str(target))
    line = error_lines(capsys.readouterr().out)
    assert line == f"Error: [Errno 2] No such file or directory: '{missing}'"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("new_encoding, message", [
    ("ascii", "Error: 'ascii' codec can't encode character"),
    ("no-such-codec", "Error: unknown encoding: no-such-codec"),
])
def test_moencoding_bad_target_encoding(vk, tmp_path, capsys, new_encoding, message):
    source, _ = write_sample(tmp_path, "utf-8")
    target = tmp_path / "out.txt"
    target.write_bytes(b"keep me")
    vk.moencoding(str(source), str(target), new_encoding)
    assert error_lines(capsys.readouterr().out).startswith(message)
    assert target.read_bytes() == b"keep me"
    assert leftovers(tmp_path, source, target) == []


def test_moencoding_output_is_a_directory(vk, tmp_path, capsys):
    source, _ = write_sample(tmp_path, "utf-8")
    folder = tmp_path / "folder"
    folder.mkdir()
    vk.moencoding(str(source), str(folder))
    assert error_lines(capsys.readouterr().out) == f"Error: [Errno 21] Is a directory: '{folder}'"
    assert folder.is_dir() and os.listdir(folder) == []
    assert leftovers(tmp_path, source, folder) == []


@pytest.mark.parametrize("spelling", ["same", "dotted", "hardlink", "symlink"])
def test_moencoding_refuses_to_convert_a_file_onto_itself(vk, tmp_path, capsys, monkeypatch, spelling):
    source, _ = write_sample(tmp_path, "gbk")
    before = source.read_bytes()
    monkeypatch.chdir(tmp_path)
    if spelling == "same":
        output = str(source)
    elif spelling == "dotted":
        output = os.path.join(".", source.name)
    elif spelling == "hardlink":
        output = str(tmp_path / "hard.txt")
        os.link(source, output)
    else:
        output = str(tmp_path / "soft.txt")
        os.symlink(source, output)
    vk.moencoding(str(source), output, "utf-8")
    # The line says why: one file, nothing converted.
    assert error_lines(capsys.readouterr().out) == "Error: 输入文件与输出文件是同一个文件，未做转换"
    assert source.read_bytes() == before


def test_moencoding_interrupt_propagates_and_leaves_nothing(vk, tmp_path, monkeypatch, capsys):
    source, _ = write_sample(tmp_path, "utf-8")
    target = tmp_path / "out.txt"

    class Interrupting:
        def __getattr__(self, name):
            return getattr(os, name)

        def replace(self, *args):
            raise KeyboardInterrupt

    monkeypatch.setattr(vk, "os", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        vk.moencoding(str(source), str(target))
    assert capsys.readouterr().out == ""
    assert leftovers(tmp_path, source) == []


def test_moencoding_defaults_and_docs(vk):
    assert vk.moencoding.__defaults__ == ("utf-8",)
    assert vk.moencoding.__doc__ is None and vk.get_encoding.__doc__ is None
    with pytest.raises(TypeError, match=r"moencoding\(\) takes at least 2 positional arguments \(1 given\)"):
        vk.moencoding("a")


def test_moencoding_streams_into_a_pipe_without_replacing_it(vk, tmp_path, capsys):
    import threading
    source = tmp_path / "in.txt"
    source.write_text(SIMPLIFIED, encoding="gbk")
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    received = []
    reader = threading.Thread(target=lambda: received.append(open(pipe, "rb").read()))
    reader.start()
    vk.moencoding(str(source), str(pipe))
    reader.join(30)
    assert received == [SIMPLIFIED.encode("utf-8")]
    assert stat.S_ISFIFO(os.lstat(pipe).st_mode)
    assert capsys.readouterr().out == ""
    assert sorted(os.listdir(tmp_path)) == ["in.txt", "pipe"]


def test_moencoding_error_names_the_output_not_a_temporary(vk, tmp_path, capsys):
    source = tmp_path / "in.txt"
    source.write_text("plain text\n")
    output = tmp_path / "missing" / "out.txt"
    vk.moencoding(str(source), str(output))
    assert capsys.readouterr().out == f"Error: [Errno 2] No such file or directory: '{output}'\n"


@pytest.mark.parametrize("mode", [0o4755, 0o2750, 0o1644, 0o6711])
def test_moencoding_keeps_special_mode_bits_of_an_existing_output(vk, tmp_path, mode):
    source, text = write_sample(tmp_path, "gbk")
    target = tmp_path / "out.txt"
    target.write_text("old\n")
    os.chmod(target, mode)
    if stat.S_IMODE(os.stat(target).st_mode) != mode:
        pytest.skip("this file system does not keep these mode bits")
    vk.moencoding(str(source), str(target))
    assert target.read_text("utf-8") == text
    assert stat.S_IMODE(os.stat(target).st_mode) == mode


@pytest.mark.parametrize("head", [100, 4000])
def test_moencoding_guesses_from_the_first_block_past_an_ascii_head(vk, tmp_path, capsys, head):
    text = "x" * head + "\n中文内容\n" * 20
    source = tmp_path / "head.txt"
    source.write_bytes(text[:4096].encode("utf-8") + text[4096:].encode("utf-8"))
    target = tmp_path / "out.txt"
    vk.moencoding(str(source), str(target))
    assert capsys.readouterr().out == ""
    assert target.read_text("utf-8") == text
