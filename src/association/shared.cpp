#include "association/shared.hpp"

#include "core/errors.hpp"
#include "core/iterate.hpp"
#include "core/sibling.hpp"
#include "core/state.hpp"
#include "core/with.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace vk::association {

using namespace literals;

int platform(std::initializer_list<PyObject*> names) {
  int index = 0;
  for (PyObject* name : names) {
    // The answer may change between questions, so each one asks again.
    Ref answer = call(global("system"_id).get());
    if (!answer || !name) return -2;
    Ref equal = Ref::steal(PyObject_RichCompare(answer.get(), name, Py_EQ));
    const int same = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (same < 0) return -2;
    if (same) return index;
    ++index;
  }
  return -1;
}

int truthy(PyObject* value) { return PyObject_IsTrue(value); }

int both(PyObject* a, PyObject* b) {
  const int first = PyObject_IsTrue(a);
  return first <= 0 ? first : PyObject_IsTrue(b);
}

namespace {

Ref list_of(std::initializer_list<PyObject*> items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    if (!item) return {};
    PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
  }
  return list;
}

}  // namespace

Ref run_checked(std::initializer_list<PyObject*> args) {
  Ref run = global("subprocess"_id, "run"_id);
  Ref argv = run ? list_of(args) : Ref();
  return call_kw(run.get(), 1, kwnames<"check">(), argv.get(), Py_True);
}

int process_failed() {
  if (!PyErr_Occurred()) return 0;
  Caught caught;
  // Looked up while the failure is being handled, as an except clause does.
  Ref type = global("subprocess"_id, "CalledProcessError"_id);
  if (!type) return -1;
  const int matches = caught.is(type.get());
  caught.restore();
  return matches;
}

bool report_error() { return report_exception("Error: "_id); }

PyObject* raise_wrapped(const char* prefix) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Caught caught;
  Ref text = new_str(prefix);
  return text ? raise_new(PyExc_Exception, text.get(), caught.value()) : nullptr;
}

namespace {

// The earliest exception wins: each close runs with the pending one set
// aside, and a new failure stays only when nothing was pending.
void close_each(PyObject* close_key, std::initializer_list<const Ref*> handles) {
  for (const Ref* handle : handles) {
    if (!*handle) continue;
    PendingError keep;
    call(close_key, handle->get());
  }
}

}  // namespace

bool close_keys(std::initializer_list<const Ref*> handles) {
  bool any = false;
  for (const Ref* handle : handles) any = any || static_cast<bool>(*handle);
  if (any) {
    Ref close_key;
    {
      PendingError keep;
      close_key = global("winreg"_id, "CloseKey"_id);
    }
    if (close_key) close_each(close_key.get(), handles);
  }
  return !PyErr_Occurred();
}

namespace {

// The winreg functions a removal uses, looked up once per call.
struct Registry {
  Ref open_key, delete_key, close_key, enum_key, all_access, classes_root, zero, no_name;

  bool load() {
    Ref winreg = global("winreg"_id);
    PyObject* w = winreg.get();
    return w && (open_key = getattr(w, "OpenKey"_id)) && (delete_key = getattr(w, "DeleteKey"_id)) &&
           (close_key = getattr(w, "CloseKey"_id)) && (enum_key = getattr(w, "EnumKey"_id)) &&
           (all_access = getattr(w, "KEY_ALL_ACCESS"_id)) && (classes_root = getattr(w, "HKEY_CLASSES_ROOT"_id)) &&
           (zero = Ref::steal(PyLong_FromLong(0))) && (no_name = Ref::borrow(""_id));
  }
};

constexpr long kNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS: EnumKey ran past the last sub-key

// True, with the error cleared, when the pending exception says that the
// enumeration has ended.
bool enumeration_ended() {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
  Caught caught;
  Ref code = Ref::steal(PyObject_GetAttr(caught.value(), "winerror"_id));
  const long value = code ? PyLong_AsLong(code.get()) : -1;
  PyErr_Clear();
  if (value == kNoMoreItems) return true;
  caught.restore();
  return false;
}

// The keys opened on the way down, from top's child to the deepest, in a
// list: it holds them, and it grows or reports MemoryError as any list does.
class OpenKeys {
 public:
  bool made() const { return static_cast<bool>(keys_); }
  Py_ssize_t size() const { return PyList_GET_SIZE(keys_.get()); }
  Ref deepest() const { return Ref::borrow(PyList_GET_ITEM(keys_.get(), size() - 1)); }
  bool push(PyObject* key) { return PyList_Append(keys_.get(), key) == 0; }
  Ref pop() {
    Ref key = deepest();
    return PyList_SetSlice(keys_.get(), size() - 1, size(), nullptr) == 0 ? key : Ref();
  }

  // Closes every key, deepest first; the first error stays.
  void close_all(const Registry& reg) {
    while (size() > 0) {
      Ref key = deepest();
      PendingError keep;
      PyList_SetSlice(keys_.get(), size() - 1, size(), nullptr);
      close_each(reg.close_key.get(), {&key});
    }
  }

 private:
  Ref keys_ = Ref::steal(PyList_New(0));
};

// Deletes every key below `top`, deepest first. The keys opened on the
// way down are kept on a stack of their own rather than in nested calls,
// so a tree of any depth needs no more C stack than a flat one.
bool remove_subkeys(const Registry& reg, PyObject* top) {
  OpenKeys stack;
  if (!stack.made()) return false;
  for (;;) {
    const Ref parent = stack.size() == 0 ? Ref::borrow(top) : stack.deepest();
    // Index 0 again each time: the key found last is gone.
    Ref name = call(reg.enum_key.get(), parent.get(), reg.zero.get());
    bool ok;
    if (name) {
      Ref child = call(reg.open_key.get(), parent.get(), name.get(), reg.zero.get(), reg.all_access.get());
      ok = child && stack.push(child.get());
      if (!ok) close_each(reg.close_key.get(), {&child});
    } else if (!enumeration_ended()) {
      ok = false;
    } else if (stack.size() == 0) {
      return true;
    } else {
      // The deepest open key has no sub-keys left: it goes, then its handle.
      Ref done = stack.pop();
      ok = done && call(reg.delete_key.get(), done.get(), reg.no_name.get());
      close_each(reg.close_key.get(), {&done});
      ok = ok && !PyErr_Occurred();
    }
    if (!ok || PyErr_CheckSignals() < 0) {
      stack.close_all(reg);
      return false;
    }
  }
}

// True when `name` names a key below the root it is opened from: None and
// "" open the root itself, whose sub-keys must never be emptied here.
bool names_a_subkey(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  for (Py_ssize_t i = 0; i < length; ++i)
    if (PyUnicode_READ_CHAR(name, i) != '\\') return true;
  return false;
}

}  // namespace

int remove_class_key(PyObject* name, bool subkeys) {
  Registry reg;
  if (!reg.load()) return -1;
  Ref key = call(reg.open_key.get(), reg.classes_root.get(), name, reg.zero.get(), reg.all_access.get());
  // A name that opens HKEY_CLASSES_ROOT itself goes straight to DeleteKey,
  // which refuses a root.
  bool ok = key && (!subkeys || !names_a_subkey(name) || remove_subkeys(reg, key.get())) &&
            call(reg.delete_key.get(), key.get(), reg.no_name.get());
  close_each(reg.close_key.get(), {&key});
  ok = ok && !PyErr_Occurred();
  if (ok) return 1;
  if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
  PyErr_Clear();
  return 0;
}

Ref mimeapps_path() {
  Ref expanduser = global("os"_id, "path"_id, "expanduser"_id);
  return call(expanduser.get(), "~/.local/share/applications/mimeapps.list"_id);
}

namespace {

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
  Ref argv = run ? list_of({"xdg-mime"_id, "query"_id, "filetype"_id, path}) : Ref();
  Ref result = call_kw(run.get(), 1, kwnames<"capture_output", "text">(), argv.get(), Py_True, Py_True);
  Ref out = result ? getattr(result.get(), "stdout"_id) : Ref();
  return call_method(out.get(), "strip"_id);
}

// The two questions, about <folder>/test<extension> (empty) and
// <folder>/content/test<extension> (binary bytes).
bool ask_both(Scratch& scratch, PyObject* os, PyObject* folder, PyObject* extension, MimeAnswer& answer) {
  Ref text = str_of(extension);
  Ref name = text ? concat({"test"_id, text.get()}) : Ref();
  Ref join = name ? global("os"_id, "path"_id, "join"_id) : Ref();
  Ref empty = call(join.get(), folder, name.get());
  if (!empty || !make_file(scratch, empty.get(), nullptr)) return false;
  answer.type = ask(empty.get());
  Ref content_folder = answer.type ? call(join.get(), folder, "content"_id) : Ref();
  if (!content_folder || !call_method(os, "mkdir"_id, content_folder.get())) return false;
  scratch.made(content_folder, true);
  Ref filled = call(join.get(), content_folder.get(), name.get());
  Ref content = filled ? Ref::steal(PyBytes_FromStringAndSize(kBinaryContent, sizeof kBinaryContent - 1)) : Ref();
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
  Ref tempfile = os ? import_local("tempfile"_id) : Ref();
  Ref folder = call_method(tempfile.get(), "mkdtemp"_id);
  if (!folder) return false;
  Scratch scratch(os.get());
  scratch.made(folder, true);
  const bool asked = ask_both(scratch, os.get(), folder.get(), extension, answer);
  const bool cleared = scratch.clear();
  return asked && cleared;
}

bool has_line_break(PyObject* text) {
  if (!PyUnicode_Check(text)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i)
    if (Py_UNICODE_ISLINEBREAK(PyUnicode_READ_CHAR(text, i))) return true;
  return false;
}

namespace {

bool alphanumeric(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The characters of a media type's names (RFC 6838 restricted-name).
bool name_character(Py_UCS4 c) {
  switch (c) {
    case '!': case '#': case '$': case '&': case '-': case '^': case '_': case '.': case '+':
      return true;
    default:
      return alphanumeric(c);
  }
}

}  // namespace

bool usable_mime_type(PyObject* mime_type) {
  if (!PyUnicode_Check(mime_type)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(mime_type);
  Py_ssize_t slash = -1;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(mime_type, i);
    if (c == '/') {
      if (slash >= 0) return false;
      slash = i;
    } else if (!name_character(c)) {
      return false;
    }
  }
  return slash > 0 && slash < length - 1 && alphanumeric(PyUnicode_READ_CHAR(mime_type, 0)) &&
         alphanumeric(PyUnicode_READ_CHAR(mime_type, slash + 1));
}

bool names_entry_type(const MimeAnswer& answer) { return answer.from_name && usable_mime_type(answer.type.get()); }

namespace {

// "Error: 扩展名 '.xyz' 没有对应的 MIME 类型 (xdg-mime 按文件内容回答: 'text/plain', ...)"
bool report_content_answers(PyObject* extension, const MimeAnswer& answer) {
  Ref text = str_of(extension);
  Ref shown = text ? Ref::steal(PyObject_Repr(text.get())) : Ref();
  Ref first = shown ? Ref::steal(PyObject_Repr(answer.type.get())) : Ref();
  Ref second = first ? Ref::steal(PyObject_Repr(answer.for_content.get())) : Ref();
  Ref head = second ? new_str("Error: 扩展名 ") : Ref();
  Ref middle = head ? new_str(" 没有对应的 MIME 类型 (xdg-mime 按文件内容回答: ") : Ref();
  if (!middle) return false;
  return print_line(concat({head.get(), shown.get(), middle.get(), first.get(), ", "_id, second.get(), ")"_id}).get());
}

// 0 once `line` is printed, -1 when it could not be.
int refuse(PyObject* line) { return line && print_line(line) ? 0 : -1; }

}  // namespace

int check_entry(PyObject* extension, PyObject* program, MimeAnswer& answer, Ref& program_text) {
  if (!query_mime_type(extension, answer)) return -1;
  // A type that only the content gave would take over every file of that
  // type (every text file, for an unknown extension).
  if (!answer.from_name) return report_content_answers(extension, answer) ? 0 : -1;
  if (!usable_mime_type(answer.type.get())) {
    Ref shown = Ref::steal(PyObject_Repr(answer.type.get()));
    Ref head = shown ? new_str("Error: xdg-mime 没有给出可用的 MIME 类型: ") : Ref();
    return refuse(head ? concat({head.get(), shown.get()}).get() : nullptr);
  }
  // A program that cannot be made text fails the writing of the entry,
  // which is reported, not raised.
  program_text = str_of(program);
  if (!program_text) return report_error() ? 0 : -1;
  if (has_line_break(program_text.get())) return refuse(new_str("Error: 关联的程序路径不能包含换行符").get());
  return 1;
}

namespace {

// The permission bits of the file being replaced carry over to the new one.
bool keep_mode(PyObject* os, PyObject* target, PyObject* temp) {
  Ref stat = call_method(os, "stat"_id, target);
  Ref mode = stat ? getattr(stat.get(), "st_mode"_id) : Ref();
  Ref mask = mode ? Ref::steal(PyLong_FromLong(07777)) : Ref();
  Ref bits = mask ? Ref::steal(PyNumber_And(mode.get(), mask.get())) : Ref();
  return bits && call_method(os, "chmod"_id, temp, bits.get());
}

// Writes the lines that do not begin with `prefix` to a new file beside
// `target`, named in `temp`. Lines are bytes as read, each with its own
// line end, so what is kept is kept byte for byte.
bool write_kept(PyObject* os, PyObject* target, PyObject* lines, PyObject* prefix, Ref& temp) {
  const char* owned = PyBytes_AS_STRING(prefix);
  const Py_ssize_t owned_size = PyBytes_GET_SIZE(prefix);
  Ref out = open_sibling(os, target, temp, [](PyObject* name) { return call(state().open, name, "xb"_id); });
  return out && with_block(out.get(), [&](PyObject* f) {
           Ref write = getattr(f, "write"_id);
           return write && for_each(lines, [&](PyObject* line) {
                    if (!PyBytes_Check(line)) {
                      PyErr_Format(PyExc_TypeError, "a line of mimeapps.list read as %.200s, not bytes",
                                   Py_TYPE(line)->tp_name);
                      return Loop::fail;
                    }
                    if (PyBytes_GET_SIZE(line) >= owned_size && std::memcmp(PyBytes_AS_STRING(line), owned, owned_size) == 0)
                      return Loop::next;
                    return call(write.get(), line) ? Loop::next : Loop::fail;
                  });
         });
}

}  // namespace

bool rewrite_without(PyObject* mime_type) {
  Ref os = global("os"_id);
  Ref path = os ? mimeapps_path() : Ref();
  // Read and written as bytes: a line ends only at "\n" (a lone "\r" is
  // part of its line, as for the readers of the list), CRLF stays CRLF,
  // and text in any encoding passes through. The type is ASCII, checked
  // by usable_mime_type.
  Ref prefix_text = path ? concat({mime_type, "="_id}) : Ref();
  Ref prefix = prefix_text ? Ref::steal(PyUnicode_AsASCIIString(prefix_text.get())) : Ref();
  Ref file = prefix ? call(state().open, path.get(), "rb"_id) : Ref();
  if (!file) return false;
  Ref lines;
  if (!with_block(file.get(), [&](PyObject* f) { return static_cast<bool>(lines = call_method(f, "readlines"_id)); }))
    return false;
  // The file is replaced rather than written, so ask first whether it may
  // be written at all: a read-only list stays refused.
  Ref probe = call(state().open, path.get(), "a"_id);
  if (!probe || !call_method(probe.get(), "close"_id)) return false;

  Ref realpath = global("os"_id, "path"_id, "realpath"_id);
  Ref target = call(realpath.get(), path.get());
  if (!target) return false;
  Ref temp;
  if (write_kept(os.get(), target.get(), lines.get(), prefix.get(), temp) &&
      keep_mode(os.get(), target.get(), temp.get()) && call_method(os.get(), "replace"_id, temp.get(), target.get()))
    return true;
  if (temp) {
    blame_target(temp.get(), path.get());
    remove_quietly(os.get(), temp.get());
  }
  return false;
}

}  // namespace vk::association
