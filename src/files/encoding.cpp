// Guessing a text file's encoding with chardet, and re-encoding a file
// into another through a temporary file that replaces the output only
// once the whole conversion has succeeded.
#include "core/errors.hpp"
#include "core/iterate.hpp"
#include "core/state.hpp"
#include "core/sibling.hpp"
#include "core/with.hpp"
#include "files/files.hpp"

namespace vk::files {
namespace {

using namespace literals;

Ref item(PyObject* mapping, PyObject* key) {
  if (!key) return {};
  return Ref::steal(PyObject_GetItem(mapping, key));
}

PyObject* get_encoding_impl(Function*, Args<"file_path"> args) {
  Ref chardet = import_local("chardet"_id);
  if (!chardet) return nullptr;
  Ref file = call(state().open, args.get<"file_path">(), "rb"_id);
  if (!file) return nullptr;
  Ref answer;
  const bool ok = with_block(file.get(), [&](PyObject* f) {
    Ref data = call_method(f, "read"_id);
    if (!data) return false;
    Ref result = call_method(chardet.get(), "detect"_id, data.get());
    if (!result) return false;
    Ref encoding = item(result.get(), "encoding"_id);
    if (!encoding) return false;
    Ref confidence = item(result.get(), "confidence"_id);
    if (!confidence) return false;
    answer = Ref::steal(PyTuple_Pack(2, encoding.get(), confidence.get()));
    return static_cast<bool>(answer);
  });
  return ok ? answer.release() : nullptr;
}

// 1 when input and output name the same file: equal paths, or paths that
// os.path.samefile says meet. A path that cannot be examined (absent, say)
// is not the same file; opening it reports the problem later.
int same_file(PyObject* input, PyObject* output) {
  int equal = PyObject_RichCompareBool(input, output, Py_EQ);
  if (equal != 0) return equal;
  Ref samefile = global("os"_id, "path"_id, "samefile"_id);
  if (!samefile) return -1;
  Ref same = call(samefile.get(), input, output);
  if (!same) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
  }
  return PyObject_IsTrue(same.get());
}

// The encoding chardet guesses from the first 4096 bytes of the file.
Ref guess_encoding(PyObject* chardet, PyObject* path) {
  Ref file = call(state().open, path, "rb"_id);
  if (!file) return {};
  Ref encoding;
  const bool ok = with_block(file.get(), [&](PyObject* f) {
    Ref size = Ref::steal(PyLong_FromLong(4096));
    if (!size) return false;
    Ref head = call_method(f, "read"_id, size.get());
    if (!head) return false;
    Ref guess = call_method(chardet, "detect"_id, head.get());
    if (!guess) return false;
    encoding = item(guess.get(), "encoding"_id);
    return static_cast<bool>(encoding);
  });
  if (!ok) return {};
  return encoding;
}

// A fresh text file beside `target`, created exclusively with `encoding`.
Ref create_temporary(PyObject* os, PyObject* target, PyObject* encoding, Ref& temp) {
  return open_sibling(os, target, temp, [&](PyObject* name) {
    return call_kw(state().open, 2, kwnames<"encoding">(), name, "x"_id, encoding);
  });
}

// The permission bits of an existing output carry over to its replacement.
bool keep_mode(PyObject* os, PyObject* target, PyObject* temp) {
  Ref stat = call_method(os, "stat"_id, target);
  if (!stat) return false;
  Ref mode = getattr(stat.get(), "st_mode"_id);
  if (!mode) return false;
  const long bits = PyLong_AsLong(mode.get());
  if (bits == -1 && PyErr_Occurred()) return false;
  Ref kept = Ref::steal(PyLong_FromLong(bits & 07777));
  return kept && call_method(os, "chmod"_id, temp, kept.get());
}

// Every line of `source` (an open text file) to the open text file `out`.
bool copy_lines(PyObject* source, PyObject* out) {
  return with_block(out, [&](PyObject* f) {
    Ref write = getattr(f, "write"_id);
    return write && for_each(source, [&](PyObject* line) { return call(write.get(), line) ? Loop::next : Loop::fail; });
  });
}

// Writes the lines of `source` for `output`. A regular file (or a new one)
// is written to a temporary file beside the output's real path, returned in
// `target`, for the caller to move into place; anything else that exists
// (a pipe, a device) is written directly, as a stream.
bool write_lines(PyObject* os, PyObject* source, PyObject* output, PyObject* encoding, Ref& temp, Ref& target) {
  Ref exists = global("os"_id, "path"_id, "exists"_id);
  Ref isfile = global("os"_id, "path"_id, "isfile"_id);
  if (!exists || !isfile) return false;
  Ref existed = call(exists.get(), output);
  if (!existed) return false;
  const int replacing = PyObject_IsTrue(existed.get());
  if (replacing < 0) return false;
  Ref regular = replacing ? call(isfile.get(), output) : Ref::borrow(Py_True);
  if (!regular) return false;
  const int is_regular = PyObject_IsTrue(regular.get());
  if (is_regular < 0) return false;
  if (!is_regular) {
    Ref out = call_kw(state().open, 2, kwnames<"encoding">(), output, "w"_id, encoding);
    return out && copy_lines(source, out.get());
  }
  if (replacing) {
    // An output that could not be opened for writing is refused as the
    // direct open would refuse it; appending nothing leaves it unchanged.
    Ref probe = call(state().open, output, "ab"_id);
    if (!probe || !call_method(probe.get(), "close"_id)) return false;
  }
  Ref realpath = global("os"_id, "path"_id, "realpath"_id);
  if (!realpath) return false;
  target = call(realpath.get(), output);
  if (!target) return false;
  Ref out = create_temporary(os, target.get(), encoding, temp);
  if (!out || !copy_lines(source, out.get())) return false;
  return !replacing || keep_mode(os, target.get(), temp.get());
}

// 1 converted, 0 refused (reported), -1 failed with an exception set.
int convert(PyObject* chardet, PyObject* input, PyObject* output, PyObject* encoding, Ref& temp) {
  Ref os = global("os"_id);
  if (!os) return -1;
  const int same = same_file(input, output);
  if (same < 0) return -1;
  if (same) return print_line(new_str("Error: 输入文件与输出文件是同一个文件，未做转换").get()) ? 0 : -1;

  Ref source_encoding = guess_encoding(chardet, input);
  if (!source_encoding) return -1;
  Ref source = call_kw(state().open, 2, kwnames<"encoding">(), input, "r"_id, source_encoding.get());
  if (!source) return -1;
  Ref target;
  if (!with_block(source.get(), [&](PyObject* f) { return write_lines(os.get(), f, output, encoding, temp, target); }))
    return -1;

  if (!target) return 1;  // written directly
  if (!call_method(os.get(), "replace"_id, temp.get(), target.get())) return -1;
  temp = Ref();
  return 1;
}

// Removes the temporary file of a failed conversion, keeping the pending
// exception; a file that is already gone is fine.
void discard(Ref& temp) {
  if (!temp) return;
  PendingError keep;
  Ref os = global("os"_id);
  if (os) remove_quietly(os.get(), temp.get());
  temp = Ref();
}

PyObject* moencoding_impl(Function*, Args<"input_file_path", "output_file_path", "new_encoding"> args) {
  Ref chardet = import_local("chardet"_id);
  if (!chardet) return nullptr;
  Ref temp;
  PyObject* const output = args.get<"output_file_path">();
  if (convert(chardet.get(), args.get<"input_file_path">(), output, args.get<"new_encoding">(), temp) >= 0)
    Py_RETURN_NONE;
  if (temp) blame_target(temp.get(), output);
  discard(temp);
  return report_exception("Error: "_id) ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace

const FunctionDef get_encoding{.name = "get_encoding", .impl = impl<get_encoding_impl>};
const FunctionDef moencoding{
    .name = "moencoding",
    .impl = impl<moencoding_impl>,
    .defaults = [] { return build("(s)", "utf-8"); },
};

}  // namespace vk::files
