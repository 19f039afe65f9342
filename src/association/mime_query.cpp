// The xdg-mime questions about an extension, and the files made for them.
#include "association/mime_query.hpp"

#include "core/errors.hpp"
#include "core/with.hpp"

namespace vk::association {
namespace {

using namespace literals;

// A few bytes that no text and no known format begins with.
constexpr char kBinaryContent[] = "\x00\x01\x02\x03\x80\x81\xfe\xff";

// The files and folders made for a question, removed in reverse order
// whatever happens; a failure to remove gives way to an earlier error.
class Scratch {
 public:
  explicit Scratch(PyObject* os) : os_(os) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  void made(const Ref& path, bool folder) { made_[count_++] = {path, folder}; }

  // False with an exception set when one is pending at the end.
  bool clear() {
    while (count_ > 0) {
      const Made& entry = made_[--count_];
      PendingError keep;
      call_method(os_, entry.folder ? "rmdir"_id : "remove"_id, entry.path.get());
    }
    return !PyErr_Occurred();
  }

 private:
  struct Made {
    Ref path;
    bool folder = false;
  };
  PyObject* os_;
  Made made_[4];  // the folder, the empty file, the content folder, the file with content
  int count_ = 0;
};

// Creates the new file `path` holding `content` (none: empty).
bool make_file(Scratch& scratch, PyObject* path, PyObject* content) {
  Ref file = call(state().open, path, "xb"_id);
  if (!file) return false;
  scratch.made(Ref::borrow(path), false);
  return with_block(file.get(), [&](PyObject* f) { return !content || call_method(f, "write"_id, content); });
}

// xdg-mime query filetype <path>: its standard output, stripped.
Ref ask(PyObject* path) {
  Ref run = global("subprocess"_id, "run"_id);
  if (!run) return {};
  Ref argv = list_of({"xdg-mime"_id, "query"_id, "filetype"_id, path});
  if (!argv) return {};
  Ref result = call_kw(run.get(), 1, kwnames<"capture_output", "text">(), argv.get(), Py_True, Py_True);
  if (!result) return {};
  Ref out = getattr(result.get(), "stdout"_id);
  if (!out) return {};
  return call_method(out.get(), "strip"_id);
}

// The two questions, about <folder>/test<extension> (empty) and
// <folder>/content/test<extension> (binary bytes).
bool ask_both(Scratch& scratch, PyObject* os, PyObject* folder, PyObject* extension, MimeAnswer& answer) {
  Ref text = str_of(extension);
  if (!text) return false;
  Ref name = concat({"test"_id, text.get()});
  if (!name) return false;
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return false;
  Ref empty = call(join.get(), folder, name.get());
  if (!empty || !make_file(scratch, empty.get(), nullptr)) return false;
  answer.type = ask(empty.get());
  if (!answer.type) return false;
  Ref content_folder = call(join.get(), folder, "content"_id);
  if (!content_folder || !call_method(os, "mkdir"_id, content_folder.get())) return false;
  scratch.made(content_folder, true);
  Ref filled = call(join.get(), content_folder.get(), name.get());
  if (!filled) return false;
  Ref content = Ref::steal(PyBytes_FromStringAndSize(kBinaryContent, sizeof kBinaryContent - 1));
  if (!content || !make_file(scratch, filled.get(), content.get())) return false;
  answer.for_content = ask(filled.get());
  if (!answer.for_content) return false;
  const int same = PyObject_RichCompareBool(answer.type.get(), answer.for_content.get(), Py_EQ);
  answer.from_name = same > 0;
  return same >= 0;
}

}  // namespace

bool query_mime_type(PyObject* extension, MimeAnswer& answer) {
  // xdg-mime answers only for a file that exists, so it is asked about
  // files of that name, alone in a folder of their own.
  Ref os = global("os"_id);
  if (!os) return false;
  Ref tempfile = import_local("tempfile"_id);
  if (!tempfile) return false;
  Ref folder = call_method(tempfile.get(), "mkdtemp"_id);
  if (!folder) return false;
  Scratch scratch(os.get());
  scratch.made(folder, true);
  const bool asked = ask_both(scratch, os.get(), folder.get(), extension, answer);
  const bool cleared = scratch.clear();
  return asked && cleared;
}

}  // namespace vk::association
