// Runs Win32 calls read from standard input and answers each with one line,
// so that the simulated Windows platform can be held against a real Win32.
//
// Each input line is one call: its name and its arguments, separated by
// tabs. Text is UTF-8 with '%', '~', '$', tab, CR, LF and NUL written as
// %XX; a lone "~" is a null pointer; "$" and hex digits are bytes read as
// UTF-16 text, as a wide-character function reads a byte string given to
// it (and as text with a lone surrogate comes and goes); numbers are
// decimal or 0x-hex; binary data is hex. Registry keys are
// named: HKCU and HKCR are the current sequence's scratch keys under
// HKEY_CURRENT_USER and HKEY_CLASSES_ROOT, "0" is a null handle, any other
// name is a handle a call stored under it. A name whose handle was closed
// passes an invalid handle (null), as a stale handle number would where
// nothing reused it.
//
// Each output line starts with the call's result and its error code (the
// LSTATUS of a registry call, GetLastError() of any other call, set to 0
// before the call), then the call's data. The registry calls retry with a
// larger buffer on ERROR_MORE_DATA, as CPython's winreg does. A successful
// enumeration also lists every sub-key (or value) in the order this Win32
// enumerates them, since that order is not the same everywhere. An image
// name "#N" is the resource number N.
//
// Lines starting with '@' control the run: "@begin N" closes every handle
// and image of the previous sequence, removes the scratch keys and the
// clipboard's content, goes back to the first current folder and makes
// fresh scratch keys for sequence N; "@alias NEW OLD" gives a stored handle
// a second name; "@readonly ROOT PATH 1|0" makes the key at PATH below a
// scratch key, and the keys below it, refuse changes (or no longer), the
// nearest key marked deciding, and opens the scratch keys anew with what
// their security now allows, as a predefined key is; "@remove ROOT PATH"
// removes that key with everything below it, protected or not; "@end"
// removes the scratch keys.
#include <windows.h>

#include <sddl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kUserScratch[] = L"Software\\VkHarness";
const wchar_t kClassesScratch[] = L"VkHarness";

std::map<std::string, HKEY> keys;
std::set<HKEY> live;  // the handles of `keys` still open
std::map<std::string, HANDLE> images;
std::wstring first_folder;
unsigned long sequence = 0;

std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size()) {
      out += static_cast<char>(std::strtoul(field.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::string escape(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c == '~' || c == '\t' || c == '\r' || c == '\n' || c == 0) {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string narrow(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string hex(const BYTE* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

// Wide text as an answer field: UTF-8, or "$" and the UTF-16 bytes in hex
// where it holds a lone surrogate, which UTF-8 cannot carry.
std::string text_field(const wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const bool high = text[i] >= 0xD800 && text[i] < 0xDC00, low = text[i] >= 0xDC00 && text[i] < 0xE000;
    if (high && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      ++i;
    } else if (high || low) {
      return "$" + hex(reinterpret_cast<const BYTE*>(text), length * sizeof(wchar_t));
    }
  }
  return escape(narrow(text, length));
}

std::vector<BYTE> unhex(const std::string& text) {
  std::vector<BYTE> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<BYTE>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

// A text argument: null for "~", else the decoded text.
struct Text {
  bool null = false;
  std::wstring value;
  const wchar_t* get() const { return null ? nullptr : value.c_str(); }
};

Text text(const std::string& field) {
  Text t;
  if (field == "~") {
    t.null = true;
  } else if (!field.empty() && field[0] == '$') {
    std::vector<BYTE> bytes = unhex(field.substr(1));
    bytes.insert(bytes.end(), 3, 0);
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(bytes.data());
    t.value.assign(wide, wcsnlen(wide, bytes.size() / 2));
  } else {
    t.value = widen(unescape(field));
  }
  return t;
}

unsigned long long number(const std::string& field) { return std::strtoull(field.c_str(), nullptr, 0); }

HKEY key(const std::string& name) {
  if (name == "0") return nullptr;
  auto found = keys.find(name);
  return found == keys.end() || !live.count(found->second) ? nullptr : found->second;
}

void keep(const std::string& name, HKEY hkey) {
  keys[name] = hkey;
  live.insert(hkey);
}

LONG close(const std::string& name) {
  auto found = keys.find(name);
  if (found == keys.end() || !live.count(found->second)) return ERROR_INVALID_HANDLE;
  live.erase(found->second);
  return RegCloseKey(found->second);
}

std::string join(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += '\t';
    line += fields[i];
  }
  return line;
}

std::string str(unsigned long long value) { return std::to_string(value); }

// RegQueryValueExW as CPython's QueryValueEx calls it: the size first, then
// a buffer that doubles while the data does not fit.
std::vector<std::string> query_value_ex(HKEY hkey, const Text& name) {
  DWORD size = 0, type = 0;
  LONG rc = RegQueryValueExW(hkey, name.get(), nullptr, nullptr, nullptr, &size);
  if (rc == ERROR_MORE_DATA) size = 256;
  else if (rc != ERROR_SUCCESS) return {str(rc)};
  std::vector<BYTE> buffer(size ? size : 1);
  DWORD got = 0;
  for (;;) {
    got = size;
    rc = RegQueryValueExW(hkey, name.get(), nullptr, &type, buffer.data(), &got);
    if (rc != ERROR_MORE_DATA) break;
    size *= 2;
    buffer.resize(size);
  }
  if (rc != ERROR_SUCCESS) return {str(rc)};
  return {str(rc), str(type), hex(buffer.data(), got)};
}

// RegQueryValueW as CPython 3.11's QueryValue calls it.
std::vector<std::string> query_value(HKEY hkey, const Text& sub_key) {
  LONG size = 0;
  LONG rc = RegQueryValueW(hkey, sub_key.get(), nullptr, &size);
  if (rc == ERROR_MORE_DATA) size = 256;
  else if (rc != ERROR_SUCCESS) return {str(rc)};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
  for (;;) {
    LONG got = size;
    rc = RegQueryValueW(hkey, sub_key.get(), buffer.data(), &got);
    if (rc != ERROR_MORE_DATA) break;
    size *= 2;
    buffer.assign(size / sizeof(wchar_t) + 2, L'\0');
  }
  if (rc != ERROR_SUCCESS) return {str(rc)};
  return {str(rc), text_field(buffer.data(), wcslen(buffer.data()))};
}

// RegEnumValueW as CPython's EnumValue calls it: buffers sized from
// RegQueryInfoKeyW, the data buffer doubling on ERROR_MORE_DATA.
std::vector<std::string> enum_value(HKEY hkey, DWORD index) {
  DWORD name_size = 0, data_size = 0;
  LONG rc = RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &name_size,
                             &data_size, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return {str(rc), "RegQueryInfoKeyW"};
  ++name_size;
  ++data_size;
  const DWORD name_buffer = name_size;
  DWORD data_buffer = data_size;
  std::vector<wchar_t> name(name_size);
  std::vector<BYTE> data(data_size);
  DWORD type = 0;
  for (;;) {
    rc = RegEnumValueW(hkey, index, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
    if (rc != ERROR_MORE_DATA) break;
    data_buffer *= 2;
    data.resize(data_buffer);
    data_size = data_buffer;
    name_size = name_buffer;
  }
  if (rc != ERROR_SUCCESS) return {str(rc), "RegEnumValueW"};
  std::vector<std::string> out = {str(rc), text_field(name.data(), wcslen(name.data())), str(type),
                                  hex(data.data(), data_size)};
  // Every value, in this Win32's order: name, type and data each.
  for (DWORD i = 0;; ++i) {
    std::vector<wchar_t> each(name_buffer + 1);
    std::vector<BYTE> bytes(data_buffer + 1);
    DWORD each_size = name_buffer + 1, bytes_size = data_buffer + 1, each_type = 0;
    if (RegEnumValueW(hkey, i, each.data(), &each_size, nullptr, &each_type, bytes.data(), &bytes_size) !=
        ERROR_SUCCESS)
      break;
    out.push_back(text_field(each.data(), each_size));
    out.push_back(str(each_type));
    out.push_back(hex(bytes.data(), bytes_size));
  }
  return out;
}

void close_all() {
  for (HKEY hkey : live) RegCloseKey(hkey);
  live.clear();
  keys.clear();
  for (auto& [name, image] : images) DestroyCursor(static_cast<HCURSOR>(image));
  images.clear();
}

// Read-only keys: everyone may read, nobody may change them or below.
const wchar_t kReadOnly[] = L"D:P(A;OICI;KR;;;WD)";
const wchar_t kWritable[] = L"D:P(A;OICI;KA;;;WD)";
// Marked keys of the sequence: lower-case path below its scratch key -> flag.
std::map<std::pair<std::string, std::wstring>, bool> marked;

std::wstring lower(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

bool read_only(const std::string& root, const std::wstring& path) {
  // The nearest marked key at or above path decides.
  std::wstring probe = lower(path);
  for (;;) {
    auto found = marked.find({root, probe});
    if (found != marked.end()) return found->second;
    if (probe.empty()) return false;
    const size_t slash = probe.rfind(L'\\');
    probe = slash == std::wstring::npos ? std::wstring() : probe.substr(0, slash);
  }
}

// Gives every key below `parent`\`name` (and that key) the security its
// marks ask for; the children first, while the key can still be read.
void protect(HKEY parent, const std::wstring& name, const std::string& root, const std::wstring& path, bool all,
             bool flag) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, WRITE_DAC | READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, &key) !=
      ERROR_SUCCESS)
    return;
  wchar_t child[257];
  for (DWORD i = 0;; ++i) {
    DWORD length = 257;
    if (RegEnumKeyExW(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring below(child, length);
    protect(key, below, root, path.empty() ? below : path + L"\\" + below, all, flag);
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  const bool closed = all ? flag : read_only(root, path);
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(closed ? kReadOnly : kWritable, SDDL_REVISION_1, &sd,
                                                           nullptr)) {
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
  }
  RegCloseKey(key);
}

void remove_scratch() {
  // Everything writable again first, so that it can go.
  protect(HKEY_CURRENT_USER, kUserScratch, "", L"", true, false);
  protect(HKEY_CLASSES_ROOT, kClassesScratch, "", L"", true, false);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUserScratch);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassesScratch);
  marked.clear();
}

std::wstring scratch_path(const std::string& root) {
  return std::wstring(root == "HKCU" ? kUserScratch : kClassesScratch) + L"\\" + widen(std::to_string(sequence));
}

std::string mark(const std::string& root, const std::string& path, bool flag) {
  const HKEY base = root == "HKCU" ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
  const std::wstring relative = widen(unescape(path));
  HKEY probe = nullptr;
  const std::wstring full = scratch_path(root) + (relative.empty() ? L"" : L"\\" + relative);
  if (RegOpenKeyExW(base, full.c_str(), 0, READ_CONTROL, &probe) != ERROR_SUCCESS) return "@ok";  // no such key
  RegCloseKey(probe);
  marked[{root, lower(relative)}] = flag;
  protect(base, scratch_path(root), root, L"", false, false);
  // The scratch keys stand for predefined keys, opened with what their
  // security allows now.
  for (const char* name : {"HKCU", "HKCR"}) {
    HKEY reopened = nullptr;
    const HKEY top = std::string(name) == "HKCU" ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
    if (RegOpenKeyExW(top, scratch_path(name).c_str(), 0, MAXIMUM_ALLOWED, &reopened) != ERROR_SUCCESS)
      return std::string("@failed\t") + name;
    close(name);
    keep(name, reopened);
  }
  return "@ok";
}

std::string remove_key(const std::string& root, const std::string& path) {
  const HKEY base = root == "HKCU" ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
  const std::wstring relative = widen(unescape(path));
  const std::wstring full = scratch_path(root) + (relative.empty() ? L"" : L"\\" + relative);
  protect(base, full, "", L"", true, false);
  const std::wstring prefix = lower(relative);
  for (auto it = marked.begin(); it != marked.end();) {
    const bool below = it->first.first == root &&
                       (it->first.second == prefix || it->first.second.rfind(prefix + L"\\", 0) == 0);
    it = below ? marked.erase(it) : std::next(it);
  }
  const LONG rc = RegDeleteTreeW(base, full.c_str());
  if (rc == ERROR_SUCCESS) RegDeleteKeyW(base, full.c_str());
  return rc == ERROR_SUCCESS ? "@ok" : "@failed\t" + str(rc);
}

std::string begin(const std::string& n) {
  close_all();
  remove_scratch();
  sequence = std::strtoul(n.c_str(), nullptr, 10);
  HKEY made = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, scratch_path("HKCU").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &made, nullptr);
  if (rc != ERROR_SUCCESS) return "@failed\tHKCU\t" + str(rc);
  keep("HKCU", made);
  rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, scratch_path("HKCR").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made,
                       nullptr);
  if (rc != ERROR_SUCCESS) return "@failed\tHKCR\t" + str(rc);
  keep("HKCR", made);
  SetCurrentDirectoryW(first_folder.c_str());
  // The clipboard starts empty and closed, as the stand-in's does.
  CloseClipboard();
  if (!OpenClipboard(nullptr) || !EmptyClipboard() || !CloseClipboard())
    return "@failed\tclipboard\t" + str(GetLastError());
  return "@ok";
}

std::vector<std::string> call(const std::vector<std::string>& f) {
  const std::string& name = f[0];
  auto arg = [&](size_t i) -> const std::string& {
    static const std::string none = "~";
    return i < f.size() ? f[i] : none;
  };
  SetLastError(0);
  if (name == "RegOpenKeyExW") {
    HKEY out = nullptr;
    LONG rc = RegOpenKeyExW(key(arg(1)), text(arg(2)).get(), static_cast<DWORD>(number(arg(3))),
                            static_cast<REGSAM>(number(arg(4))), &out);
    if (rc == ERROR_SUCCESS) keep(arg(5), out);
    return {str(rc)};
  }
  if (name == "RegCreateKeyW") {
    HKEY out = nullptr;
    LONG rc = RegCreateKeyW(key(arg(1)), text(arg(2)).get(), &out);
    if (rc == ERROR_SUCCESS) keep(arg(3), out);
    return {str(rc)};
  }
  if (name == "RegCreateKeyExW") {
    HKEY out = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(key(arg(1)), text(arg(2)).get(), static_cast<DWORD>(number(arg(3))), nullptr, 0,
                              static_cast<REGSAM>(number(arg(4))), nullptr, &out, &disposition);
    if (rc == ERROR_SUCCESS) keep(arg(5), out);
    return {str(rc), str(disposition)};
  }
  if (name == "RegSetValueW") {
    const Text value = text(arg(4));
    LONG rc = RegSetValueW(key(arg(1)), text(arg(2)).get(), static_cast<DWORD>(number(arg(3))), value.get(),
                           static_cast<DWORD>(value.value.size() + 1));
    return {str(rc)};
  }
  if (name == "RegSetValueExW") {
    std::vector<BYTE> data = unhex(arg(4));
    LONG rc = RegSetValueExW(key(arg(1)), text(arg(2)).get(), 0, static_cast<DWORD>(number(arg(3))),
                             arg(4) == "~" ? nullptr : data.data(), static_cast<DWORD>(data.size()));
    return {str(rc)};
  }
  if (name == "RegQueryValueExW") return query_value_ex(key(arg(1)), text(arg(2)));
  if (name == "RegQueryValueW") return query_value(key(arg(1)), text(arg(2)));
  if (name == "RegEnumKeyExW") {
    wchar_t buffer[257];
    DWORD length = 257;
    LONG rc = RegEnumKeyExW(key(arg(1)), static_cast<DWORD>(number(arg(2))), buffer, &length, nullptr, nullptr,
                            nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return {str(rc)};
    std::vector<std::string> out = {str(rc), text_field(buffer, length)};
    for (DWORD i = 0;; ++i) {
      length = 257;
      if (RegEnumKeyExW(key(arg(1)), i, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      out.push_back(text_field(buffer, length));
    }
    return out;
  }
  if (name == "RegEnumValueW") return enum_value(key(arg(1)), static_cast<DWORD>(number(arg(2))));
  if (name == "RegQueryInfoKeyW") {
    DWORD subkeys = 0, values = 0;
    FILETIME written{};
    LONG rc = RegQueryInfoKeyW(key(arg(1)), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, &written);
    if (rc != ERROR_SUCCESS) return {str(rc)};
    const unsigned long long time = (static_cast<unsigned long long>(written.dwHighDateTime) << 32) |
                                    written.dwLowDateTime;
    return {str(rc), str(subkeys), str(values), str(time)};
  }
  if (name == "RegDeleteKeyW") return {str(RegDeleteKeyW(key(arg(1)), text(arg(2)).get()))};
  if (name == "RegDeleteValueW") return {str(RegDeleteValueW(key(arg(1)), text(arg(2)).get()))};
  if (name == "RegCloseKey") return {str(close(arg(1)))};
  if (name == "GetFileAttributesW") {
    const DWORD attributes = GetFileAttributesW(text(arg(1)).get());
    return {str(attributes), str(GetLastError())};
  }
  if (name == "SetFileAttributesW") {
    const BOOL done = SetFileAttributesW(text(arg(1)).get(), static_cast<DWORD>(number(arg(2))));
    return {str(done), str(GetLastError())};
  }
  if (name == "SetCurrentDirectoryW") {
    const BOOL done = SetCurrentDirectoryW(text(arg(1)).get());
    return {str(done), str(GetLastError())};
  }
  if (name == "GetCurrentDirectoryW") {
    // A zeroed buffer, as ctypes.create_unicode_buffer makes it.
    const DWORD size = static_cast<DWORD>(number(arg(1)));
    std::vector<wchar_t> buffer(size + 1, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, buffer.data());
    const DWORD error = GetLastError();
    return {str(length), str(error), text_field(buffer.data(), wcsnlen(buffer.data(), size))};
  }
  if (name == "GetSystemMetrics") {
    const int value = GetSystemMetrics(static_cast<int>(number(arg(1))));
    return {std::to_string(value), str(GetLastError())};
  }
  if (name == "OpenClipboard") return {str(OpenClipboard(nullptr)), str(GetLastError())};
  if (name == "CloseClipboard") return {str(CloseClipboard()), str(GetLastError())};
  if (name == "EmptyClipboard") return {str(EmptyClipboard()), str(GetLastError())};
  if (name == "IsClipboardFormatAvailable")
    return {str(IsClipboardFormatAvailable(static_cast<UINT>(number(arg(1))))), str(GetLastError())};
  if (name == "SetClipboardData") {
    // As pywin32 does for text and bytes: a movable block holding a copy.
    std::vector<BYTE> data = unhex(arg(2));
    HGLOBAL block = GlobalAlloc(GHND, data.size());
    if (!block) return {"0", str(GetLastError())};
    if (!data.empty()) {
      void* dest = GlobalLock(block);
      std::memcpy(dest, data.data(), data.size());
      GlobalUnlock(block);
    }
    SetLastError(0);
    HANDLE stored = SetClipboardData(static_cast<UINT>(number(arg(1))), block);
    const DWORD error = GetLastError();
    if (!stored) GlobalFree(block);
    return {stored ? "1" : "0", str(error)};
  }
  if (name == "GetClipboardData") {
    HANDLE handle = GetClipboardData(static_cast<UINT>(number(arg(1))));
    const DWORD error = GetLastError();
    if (!handle) return {"0", str(error)};
    void* data = GlobalLock(handle);
    const size_t size = GlobalSize(handle);
    std::string bytes = data ? hex(static_cast<const BYTE*>(data), size) : std::string();
    GlobalUnlock(handle);
    return {"1", str(error), bytes};
  }
  if (name == "LoadImageW") {
    const Text file = text(arg(1));
    const wchar_t* image_name = arg(1).size() > 1 && arg(1)[0] == '#'
                                    ? MAKEINTRESOURCEW(std::strtoul(arg(1).c_str() + 1, nullptr, 10))
                                    : file.get();
    HANDLE image = LoadImageW(nullptr, image_name, static_cast<UINT>(number(arg(2))),
                              static_cast<int>(number(arg(3))), static_cast<int>(number(arg(4))),
                              static_cast<UINT>(number(arg(5))));
    const DWORD error = GetLastError();
    if (image) images[arg(6)] = image;
    return {image ? "1" : "0", str(error)};
  }
  if (name == "SetSystemCursor") {
    auto found = images.find(arg(1));
    HCURSOR cursor = found == images.end() ? reinterpret_cast<HCURSOR>(number(arg(1))) : static_cast<HCURSOR>(found->second);
    const BOOL done = SetSystemCursor(cursor, static_cast<DWORD>(number(arg(2))));
    const DWORD error = GetLastError();
    // The system owns the cursor now.
    if (done && found != images.end()) images.erase(found);
    return {str(done), str(error)};
  }
  if (name == "SystemParametersInfoW") {
    const BOOL done = SystemParametersInfoW(static_cast<UINT>(number(arg(1))), static_cast<UINT>(number(arg(2))),
                                            nullptr, static_cast<UINT>(number(arg(3))));
    return {str(done), str(GetLastError())};
  }
  return {"!unknown"};
}

}  // namespace

int main() {
  wchar_t folder[MAX_PATH * 4];
  first_folder.assign(folder, GetCurrentDirectoryW(MAX_PATH * 4, folder));
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  std::string line;
  int c;
  while ((c = std::fgetc(stdin)) != EOF) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      const size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    std::string answer;
    if (fields[0] == "@begin") {
      answer = begin(fields.size() > 1 ? fields[1] : "0");
    } else if (fields[0] == "@readonly" && fields.size() > 3) {
      answer = mark(fields[1], fields[2], fields[3] == "1");
    } else if (fields[0] == "@remove" && fields.size() > 2) {
      answer = remove_key(fields[1], fields[2]);
    } else if (fields[0] == "@alias") {
      keys[fields[1]] = keys[fields[2]];
      answer = "@ok";
    } else if (fields[0] == "@end") {
      close_all();
      remove_scratch();
      answer = "@ok";
    } else {
      answer = join(call(fields));
    }
    answer += '\n';
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    // Should a call crash, the answers so far show which sequence it was in.
    if (fields[0] == "@end") std::fflush(stdout);
    line.clear();
  }
  std::fflush(stdout);
  return 0;
}
