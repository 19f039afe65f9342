/* CPython 3.11 configuration for 64-bit Windows, used only to compile this
 * module with mingw-w64 against the interpreter's portable headers
 * (scripts/windows-build). It stands in for the pyconfig.h of a Windows
 * installation and holds just what the public headers test: the LLP64
 * type sizes and the Windows feature macros. */
#ifndef VELKA_WINDOWS_PYCONFIG_H
#define VELKA_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h is for 64-bit Windows targets only"
#endif
/* The interpreter's own header sets MS_WIN64 only under MSVC. */
#if !defined(MS_WIN64)
#error "compile with -DMS_WIN64"
#endif

#define MS_WINDOWS
#define NT_THREADS

/* The interpreter is python311.dll: the API is imported from it
 * (__declspec(dllimport)) and PyMODINIT_FUNC is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits; pointers, sizes and Py_ssize_t are 64. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX 0x7FFFFFFFFFFFFFFFLL

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define WITH_DOC_STRINGS 1

/* The sizes above must be the compiler's. */
#if defined(__cplusplus)
static_assert(sizeof(int) == SIZEOF_INT && sizeof(long) == SIZEOF_LONG && sizeof(long long) == SIZEOF_LONG_LONG &&
                  sizeof(void*) == SIZEOF_VOID_P && sizeof(__SIZE_TYPE__) == SIZEOF_SIZE_T &&
                  sizeof(wchar_t) == SIZEOF_WCHAR_T,
              "type sizes of this pyconfig.h differ from the compiler's");
#endif

#endif
