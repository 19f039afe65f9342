// Loads an extension module the way the interpreter does on Windows
// (LoadLibraryExW with the module's folder on the DLL search path), finds
// PyInit_<name> and calls it. Prints the name of the returned module
// definition. Run under wine by scripts/windows-build, against a stand-in
// python311.dll whose PyModuleDef_Init hands the definition back.
#include <Python.h>
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: load_module PATH.pyd PyInit_NAME\n");
    return 2;
  }
  // The module's own folder is searched only for a full path, as the
  // interpreter passes it.
  wchar_t path[MAX_PATH];
  if (!GetFullPathNameW(argv[1], MAX_PATH, path, nullptr)) {
    std::fprintf(stderr, "GetFullPathNameW failed: error %lu\n", GetLastError());
    return 1;
  }
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  if (!module) {
    std::fprintf(stderr, "LoadLibraryExW failed: error %lu\n", GetLastError());
    return 1;
  }
  const std::wstring wide(argv[2]);
  const std::string init_name(wide.begin(), wide.end());
  FARPROC init = GetProcAddress(module, init_name.c_str());
  if (!init) {
    std::fprintf(stderr, "GetProcAddress(%s) failed: error %lu\n", init_name.c_str(), GetLastError());
    return 1;
  }
  auto* def = reinterpret_cast<PyModuleDef*>(reinterpret_cast<PyObject* (*)()>(reinterpret_cast<void*>(init))());
  if (!def || !def->m_name) {
    std::fprintf(stderr, "%s returned no module definition\n", init_name.c_str());
    return 1;
  }
  std::printf("%s\n", def->m_name);
  return 0;
}
