// The memory layout of CPython 3.11 on 64-bit Windows that the compiled
// module relies on, checked wherever it is compiled for that platform: by
// MSVC against the interpreter's own pyconfig.h in the wheel build, and by
// mingw-w64 against windows/pyconfig.h in scripts/windows-build. A
// configuration that changes the layout (Py_TRACE_REFS, a 64-bit long) still
// builds a module that loads, and that then misreads every object it gets
// from python311.dll; here it does not compile.
//
// The numbers are the offsets of the 3.11 structure definitions laid out
// under LLP64 (long and int are 4 bytes, pointers and Py_ssize_t 8, each
// field aligned to its size). A field the module starts to read, directly
// or through a macro, gets a line in the table below.
#include <Python.h>

#include <cstddef>
#include <type_traits>

#if defined(_WIN64)

#if defined(Py_TRACE_REFS)
#error "Py_TRACE_REFS puts two more pointers in front of every object; python311.dll is built without it"
#endif

#define VK_WINDOWS_SIZE(type, bytes) \
  static_assert(sizeof(type) == (bytes), "sizeof(" #type ") is " #bytes " in CPython 3.11 on 64-bit Windows")
#define VK_WINDOWS_OFFSET(type, field, bytes)  \
  static_assert(offsetof(type, field) == (bytes), \
                #type "::" #field " is at byte " #bytes " in CPython 3.11 on 64-bit Windows")
// A private function: its 3.11 signature (that python311.dll exports it is
// checked by scripts/windows-build against the PyAPI_FUNC declarations).
#define VK_PRIVATE_FUNCTION(name, type) \
  static_assert(std::is_same_v<decltype(&name), type>, #name " has its CPython 3.11 signature")

VK_WINDOWS_SIZE(long, 4);
VK_WINDOWS_SIZE(void*, 8);
VK_WINDOWS_SIZE(Py_ssize_t, 8);
VK_WINDOWS_SIZE(PyObject, 16);
VK_WINDOWS_SIZE(PyVarObject, 24);
VK_WINDOWS_SIZE(PyModuleDef, 104);
VK_WINDOWS_SIZE(PyTypeObject, 408);

// Read through the public macros (Py_TYPE, Py_SIZE, PyType_HasFeature and
// the Check macros, PyTuple_GET_ITEM, PyList_SET_ITEM, PyFloat_AS_DOUBLE,
// PyUnicode_READ_CHAR) and directly.
VK_WINDOWS_OFFSET(PyObject, ob_refcnt, 0);
VK_WINDOWS_OFFSET(PyObject, ob_type, 8);
VK_WINDOWS_OFFSET(PyVarObject, ob_size, 16);
VK_WINDOWS_OFFSET(PyTypeObject, tp_name, 24);
VK_WINDOWS_OFFSET(PyTypeObject, tp_flags, 168);
VK_WINDOWS_OFFSET(PyTypeObject, tp_iter, 216);
VK_WINDOWS_OFFSET(PyTypeObject, tp_descr_get, 272);
VK_WINDOWS_OFFSET(PyTypeObject, tp_alloc, 304);
VK_WINDOWS_OFFSET(PyTypeObject, tp_new, 312);
VK_WINDOWS_OFFSET(PyTypeObject, tp_free, 320);
VK_WINDOWS_OFFSET(PyTupleObject, ob_item, 24);
VK_WINDOWS_OFFSET(PyListObject, ob_item, 24);
VK_WINDOWS_OFFSET(PyFloatObject, ob_fval, 16);
VK_WINDOWS_OFFSET(PyBytesObject, ob_sval, 32);  // PyBytes_AS_STRING
VK_WINDOWS_OFFSET(PyASCIIObject, length, 16);
VK_WINDOWS_OFFSET(PyASCIIObject, state, 32);
VK_WINDOWS_SIZE(PyASCIIObject, 48);
VK_WINDOWS_SIZE(PyCompactUnicodeObject, 72);
VK_WINDOWS_OFFSET(PyUnicodeObject, data, 72);
VK_WINDOWS_OFFSET(PyModuleDef, m_name, 40);
VK_WINDOWS_OFFSET(PyModuleDef, m_slots, 72);

// Private fields.
VK_WINDOWS_OFFSET(PyThreadState, recursion_remaining, 32);  // the call count, src/core/recursion.hpp
VK_WINDOWS_OFFSET(PyThreadState, id, 232);                  // whose stack floor is known, src/core/recursion.hpp
VK_WINDOWS_OFFSET(PyTypeObject, tp_version_tag, 384);  // what is known of a class, src/numeric/complex_facts.hpp
VK_WINDOWS_OFFSET(PyTypeObject, tp_vectorcall, 400);   // how ComplexNumber is called, src/numeric/complex_construct.cpp
VK_WINDOWS_OFFSET(PyTypeObject, tp_dict, 264);              // class namespaces, src/core/function.cpp
VK_WINDOWS_OFFSET(PyDictObject, ma_version_tag, 24);        // remembered lookups, src/core/lookup.hpp
VK_WINDOWS_OFFSET(PyLongObject, ob_digit, 24);  // a one-digit int read as its value, src/numeric/integers.cpp
static_assert(PyLong_SHIFT == 30 && sizeof(digit) == 4, "an int digit holds 30 bits in CPython 3.11 on 64-bit Windows");

// Private functions.
VK_PRIVATE_FUNCTION(_PyType_Lookup, PyObject* (*)(PyTypeObject*, PyObject*));
VK_PRIVATE_FUNCTION(_PyLong_Sign, int (*)(PyObject*));
VK_PRIVATE_FUNCTION(_PyLong_FromByteArray, PyObject* (*)(const unsigned char*, size_t, int, int));
VK_PRIVATE_FUNCTION(_PyTraceback_Add, void (*)(const char*, const char*, int));
VK_PRIVATE_FUNCTION(_PyObject_MakeTpCall,
                    PyObject* (*)(PyThreadState*, PyObject*, PyObject* const*, Py_ssize_t, PyObject*));

#endif
