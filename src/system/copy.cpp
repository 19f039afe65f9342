// A file copy checked by SHA-256 before it replaces the destination: the
// bytes go to a fresh temporary file beside the destination, whose digest
// must match the source's before it is moved into place.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "core/sibling.hpp"
#include "core/with.hpp"
#include "system/system.hpp"

namespace vk::system {
namespace {

using namespace literals;

constexpr long kChunk = 4096;

// Reads `file` in chunks, handing each to `sink`, until read gives an
// empty result. Pending signals are answered between chunks, so Ctrl+C
// ends the copy of an endless source.
template <class Sink>
bool each_chunk(PyObject* file, Sink&& sink) {
  Ref read = getattr(file, "read"_id);
  Ref size = Ref::steal(PyLong_FromLong(kChunk));
  if (!read || !size) return false;
  for (;;) {
    Ref chunk = call(read.get(), size.get());
    if (!chunk) return false;
    const int more = PyObject_IsTrue(chunk.get());
    if (more <= 0) return more == 0;
    if (!sink(chunk.get()) || PyErr_CheckSignals() < 0) return false;
  }
}

// hashlib.sha256 of the contents of `path`, as hexadecimal text.
Ref file_digest(PyObject* path) {
  Ref sha256 = global("hashlib"_id, "sha256"_id);
  if (!sha256) return {};
  Ref hash_object = call(sha256.get());
  if (!hash_object) return {};
  Ref update = getattr(hash_object.get(), "update"_id);
  if (!update) return {};
  Ref file = call(state().open, path, "rb"_id);
  if (!file) return {};
  const bool read = with_block(file.get(), [&](PyObject* f) {
    return each_chunk(f, [&](PyObject* chunk) { return static_cast<bool>(call(update.get(), chunk)); });
  });
  if (!read) return {};
  return call_method(hash_object.get(), "hexdigest"_id);
}

// A fresh binary file beside `destination`, never one that exists already.
Ref create_temporary(PyObject* os, PyObject* destination, Ref& temp) {
  return open_sibling(os, destination, temp, [](PyObject* name) { return call(state().open, name, "xb"_id); });
}

// Copies source into a new temporary file in chunks.
bool copy_bytes(PyObject* os, PyObject* source, PyObject* destination, Ref& temp) {
  Ref in = call(state().open, source, "rb"_id);
  if (!in) return false;
  return with_block(in.get(), [&](PyObject* reading) {
    Ref out = create_temporary(os, destination, temp);
    if (!out) return false;
    return with_block(out.get(), [&](PyObject* writing) {
      Ref write = getattr(writing, "write"_id);
      if (!write) return false;
      return each_chunk(reading, [&](PyObject* chunk) { return static_cast<bool>(call(write.get(), chunk)); });
    });
  });
}

// The guarded part of the copy; true when it ran to its end (the verified
// copy in place, or a mismatch reported and the copy removed).
bool verified_copy(PyObject* os, PyObject* source, PyObject* destination, Ref& temp) {
  Ref source_digest = file_digest(source);
  if (!source_digest || !copy_bytes(os, source, destination, temp)) return false;
  Ref copy_digest = file_digest(temp.get());
  if (!copy_digest) return false;
  const int equal = PyObject_RichCompareBool(source_digest.get(), copy_digest.get(), Py_EQ);
  if (equal < 0) return false;
  if (equal) {
    if (!call_method(os, "replace"_id, temp.get(), destination)) return false;
  } else {
    if (!print_line(new_str("文件复制完成，但验证失败：内容不匹配。").get())) return false;
    if (!call_method(os, "remove"_id, temp.get())) return false;
  }
  temp = Ref();
  return true;
}

// os.path.exists(temp) and then os.remove(temp), once the path is formed.
bool remove_temporary(PyObject* os, Ref& temp) {
  if (!temp) return true;
  Ref path = getattr(os, "path"_id);
  if (!path) return false;
  Ref exists = call_method(path.get(), "exists"_id, temp.get());
  if (!exists) return false;
  const int there = PyObject_IsTrue(exists.get());
  if (there < 0 || (there && !call_method(os, "remove"_id, temp.get()))) return false;
  temp = Ref();
  return true;
}

PyObject* copy_impl(Function*, Args<"source_file", "destination_file", "TrueorFalse"> args) {
  PyObject* source = args.get<"source_file">();
  PyObject* destination = args.get<"destination_file">();
  Ref os = global("os"_id);
  if (!os) return nullptr;
  Ref path_exists = global("os"_id, "path"_id, "exists"_id);
  if (!path_exists) return nullptr;
  Ref exists = call(path_exists.get(), destination);
  if (!exists) return nullptr;
  int skip = PyObject_IsTrue(exists.get());
  if (skip > 0) skip = PyObject_Not(args.get<"TrueorFalse">());
  if (skip < 0) return nullptr;
  if (skip) {
    Ref shown = format(destination);
    if (!shown) return nullptr;
    Ref head = new_str("目标文件 ");
    if (!head) return nullptr;
    Ref tail = new_str(" 已存在，且不允许覆盖，跳过复制操作。");
    if (!tail || !print_line(concat({head.get(), shown.get(), tail.get()}).get())) return nullptr;
    Py_RETURN_NONE;
  }

  Ref temp;
  if (verified_copy(os.get(), source, destination, temp)) Py_RETURN_NONE;

  if (!PyErr_ExceptionMatches(PyExc_Exception)) {
    // An interrupt goes on unchanged, but does not leave the copy behind.
    PendingError keep;
    remove_temporary(os.get(), temp);
    return nullptr;
  }
  Caught caught;
  if (!remove_temporary(os.get(), temp)) return nullptr;
  if (caught.is(PyExc_FileNotFoundError)) {
    Ref message = new_str("copy2 Error: 复制失败");
    return message ? raise_new(PyExc_Exception, message.get()) : nullptr;
  }
  if (caught.is(PyExc_PermissionError)) {
    Ref message = new_str("copy2 Error: 没有权限");
    return message ? raise_new(PyExc_Exception, message.get()) : nullptr;
  }
  Ref message = new_str("copy2 Error:");
  return message ? raise_new(PyExc_Exception, message.get(), caught.value()) : nullptr;
}

}  // namespace

const FunctionDef copy{
    .name = "copy",
    .impl = impl<copy_impl>,
    .doc = "\n    复制文件,且不用管理员权限(如果文件是管理员权限或更高权限复制需要管理员权限)\n"
           "    :param source_file: 源文件路径,例如 \"C:/path/to/source.txt\"\n"
           "    :param destination_file: 目标文件路径,例如 \"C:/path/to/destination.txt\"\n"
           "    :param TrueorFalse: 是否覆盖文件,默认不覆盖.False:不覆盖,True:覆盖\n    ",
    .defaults = [] { return build("(O)", Py_False); },
};

}  // namespace vk::system
