// What the parts of fake::World share: the handles this process holds open
// and the small helpers on names, paths and keys. Only the fake_world*.cpp
// files include this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/fake_world.h"

namespace fake {
namespace world_internal {

inline std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

inline std::wstring Str(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

inline bool SameText(const std::wstring& a, const std::wstring& b) {
  return World::Lower(a) == World::Lower(b);
}

inline std::wstring FileNameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The key of a file: its path in lower case with "/" read as "\\" and the
// "." and ".." parts resolved, as Windows resolves a path before it opens it.
inline std::wstring FileKey(const std::wstring& path) {
  std::wstring text = World::Lower(path);
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  size_t root = text.compare(0, 2, L"\\\\") == 0 ? 2 : 0;
  std::vector<std::wstring> parts;
  size_t start = root;
  while (start <= text.size()) {
    size_t end = text.find(L'\\', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring part = text.substr(start, end - start);
    if (part == L"..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (part != L"." && !(part.empty() && !parts.empty())) {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring key = text.substr(0, root);
  for (size_t i = 0; i < parts.size(); ++i) key += (i ? L"\\" : L"") + parts[i];
  return key;
}

inline int BuildOf(const std::string& bytes) {
  if (bytes.compare(0, 6, "build=") != 0) return -1;
  return std::atoi(bytes.c_str() + 6);
}

inline BOOL Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

struct FileCursor {
  std::wstring key;
  size_t position = 0;
  DWORD access = 0;
  DWORD share = 0;
  DWORD flags = 0;
};

struct Handles {
  std::map<HANDLE, FileCursor> files;
  std::map<HANDLE, std::wstring> printers;  // handle -> printer name
  std::map<HKEY, std::string> keys;         // handle -> key path (lower case)
  std::vector<HANDLE> mutexes;
  std::vector<HANDLE> others;  // process and thread handles
  int scm = 0, services = 0;   // open service control manager and service handles
  uintptr_t next = 0x10000;
  HANDLE New() { return reinterpret_cast<HANDLE>(next += 8); }
};

inline Handles& TheHandles() {
  static Handles handles;
  return handles;
}

inline std::string KeyPath(HKEY root, const char* sub) {
  std::string prefix;
  if (root == HKEY_LOCAL_MACHINE) prefix = "HKLM";
  else if (root == HKEY_CURRENT_USER) prefix = "HKCU";
  else prefix = "HK?";
  std::string path = prefix;
  if (sub && *sub) path += std::string("\\") + sub;
  return World::Lower(path);
}

// The path of `sub` below `root`, a predefined key or one opened here; ""
// for a handle that is not open.
inline std::string KeyPathBelow(HKEY root, LPCWSTR sub) {
  std::string base;
  auto it = TheHandles().keys.find(root);
  if (it != TheHandles().keys.end())
    base = it->second;
  else if (root == HKEY_LOCAL_MACHINE || root == HKEY_CURRENT_USER)
    base = KeyPath(root, nullptr);
  else
    return "";
  std::string tail = Narrow(sub);
  return World::Lower(tail.empty() ? base : base + "\\" + tail);
}

// Adds the handles fake_world_run.cpp's hooks hand out (named mutexes,
// folders, searches, tokens, environment blocks) to `open`, and their names
// to `names` when given.
void AddRunHandles(WorldOpenHandles& open, std::vector<std::string>* names);

}  // namespace world_internal
}  // namespace fake
