// mimeapps.list entries: what may head one, the checks before one is written, the rewrite without a type.
#include "association/mimeapps.hpp"

#include "association/styles.hpp"
#include "core/errors.hpp"
#include "core/iterate.hpp"
#include "core/sibling.hpp"
#include "core/with.hpp"

#include <cstring>

namespace vk::association {

using namespace literals;

Ref mimeapps_path() {
  Ref expanduser = global("os"_id, "path"_id, "expanduser"_id);
  if (!expanduser) return {};
  return call(expanduser.get(), "~/.local/share/applications/mimeapps.list"_id);
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
  if (!text) return false;
  Ref shown = Ref::steal(PyObject_Repr(text.get()));
  if (!shown) return false;
  Ref first = Ref::steal(PyObject_Repr(answer.type.get()));
  if (!first) return false;
  Ref second = Ref::steal(PyObject_Repr(answer.for_content.get()));
  if (!second) return false;
  Ref head = new_str("Error: 扩展名 ");
  if (!head) return false;
  Ref middle = new_str(" 没有对应的 MIME 类型 (xdg-mime 按文件内容回答: ");
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
    if (!shown) return -1;
    Ref head = new_str("Error: xdg-mime 没有给出可用的 MIME 类型: ");
    if (!head) return -1;
    return refuse(concat({head.get(), shown.get()}).get());
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
  if (!stat) return false;
  Ref mode = getattr(stat.get(), "st_mode"_id);
  if (!mode) return false;
  Ref mask = Ref::steal(PyLong_FromLong(07777));
  if (!mask) return false;
  Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
  if (!bits) return false;
  return static_cast<bool>(call_method(os, "chmod"_id, temp, bits.get()));
}

// Writes the lines that do not begin with `prefix` to a new file beside
// `target`, named in `temp`. Lines are bytes as read, each with its own
// line end, so what is kept is kept byte for byte.
bool write_kept(PyObject* os, PyObject* target, PyObject* lines, PyObject* prefix, Ref& temp) {
  const char* owned = PyBytes_AS_STRING(prefix);
  const Py_ssize_t owned_size = PyBytes_GET_SIZE(prefix);
  Ref out = open_sibling(os, target, temp, [](PyObject* name) { return call(state().open, name, "xb"_id); });
  if (!out) return false;
  return with_block(out.get(), [&](PyObject* f) {
    Ref write = getattr(f, "write"_id);
    if (!write) return false;
    return for_each(lines, [&](PyObject* line) {
      if (!PyBytes_Check(line)) {
        PyErr_Format(PyExc_TypeError, "a line of mimeapps.list read as %.200s, not bytes", Py_TYPE(line)->tp_name);
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
  if (!os) return false;
  Ref path = mimeapps_path();
  if (!path) return false;
  // Read and written as bytes: a line ends only at "\n" (a lone "\r" is
  // part of its line, as for the readers of the list), CRLF stays CRLF,
  // and text in any encoding passes through. The type is ASCII, checked
  // by usable_mime_type.
  Ref prefix_text = concat({mime_type, "="_id});
  if (!prefix_text) return false;
  Ref prefix = Ref::steal(PyUnicode_AsASCIIString(prefix_text.get()));
  if (!prefix) return false;
  Ref file = call(state().open, path.get(), "rb"_id);
  if (!file) return false;
  Ref lines;
  if (!with_block(file.get(), [&](PyObject* f) { return static_cast<bool>(lines = call_method(f, "readlines"_id)); }))
    return false;
  // The file is replaced rather than written, so ask first whether it may
  // be written at all: a read-only list stays refused.
  Ref probe = call(state().open, path.get(), "a"_id);
  if (!probe || !call_method(probe.get(), "close"_id)) return false;

  Ref realpath = global("os"_id, "path"_id, "realpath"_id);
  if (!realpath) return false;
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
