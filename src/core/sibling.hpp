// Temporary files beside a target, for writes that replace the target only
// once they are complete.
#pragma once

#include "core/ref.hpp"

namespace vk {

// path + "." + 16 random hex digits + ".tmp", as str or bytes like path.
Ref sibling_name(PyObject* os, PyObject* path);

// os.remove(path), keeping the exception that is on its way out; a file
// that is already gone is fine.
void remove_quietly(PyObject* os, PyObject* path);

// When the pending exception is an OSError about `staged`, it names
// `target` instead: the path the caller knows.
void blame_target(PyObject* staged, PyObject* target);

// A new file beside `target`, opened by open_new(name), which must refuse a
// name that exists with FileExistsError; a clash tries another name.
// `temp` holds the name as soon as a file may exist there, so that the
// caller can remove it on failure.
template <class Open>
Ref open_sibling(PyObject* os, PyObject* target, Ref& temp, Open&& open_new) {
  for (int attempt = 0;; ++attempt) {
    Ref name = sibling_name(os, target);
    if (!name) return {};
    Ref file = open_new(name.get());
    if (file || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
      temp = name;  // opening may fail after creating the file
      return file;
    }
    if (attempt >= 100) return {};
    PyErr_Clear();
  }
}

}  // namespace vk
