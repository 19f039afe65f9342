// Closing registry handles and removing a class key with the keys below it.
#include "association/registry.hpp"

#include "core/errors.hpp"

namespace vk::association {

using namespace literals;

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

}  // namespace vk::association
