#include "session/names.h"

#include <windows.h>

#include <climits>
#include <cwchar>

#include "platform/platform.h"
#include "product.h"

// Both compare the whole name with its terminator. wcscmp stops at the first
// difference, so a shorter name is never read past its own terminator.
bool IsProductPortName(const wchar_t* name) {
  return name && std::wcscmp(name, kProductPort) == 0;
}

bool IsProductDriverName(const wchar_t* name) {
  return name && std::wcscmp(name, kProductDriver) == 0;
}

bool SameAsciiName(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return false;
  for (;; ++a, ++b) {
    wchar_t x = *a >= L'A' && *a <= L'Z' ? static_cast<wchar_t>(*a - L'A' + L'a') : *a;
    wchar_t y = *b >= L'A' && *b <= L'Z' ? static_cast<wchar_t>(*b - L'A' + L'a') : *b;
    if (x != y) return false;
    if (x == L'\0') return true;
  }
}

bool SamePathText(const wchar_t* a, const wchar_t* b) {
  return a && b && Os().CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool PathBeginsWith(const wchar_t* path, const wchar_t* prefix, size_t count) {
  if (!path || !prefix || count > INT_MAX) return false;
  // Neither text is read past its terminator.
  for (size_t i = 0; i < count; ++i)
    if (!path[i] || !prefix[i]) return false;
  return count == 0 || Os().CompareStringOrdinal(path, static_cast<int>(count), prefix,
                                                 static_cast<int>(count), TRUE) == CSTR_EQUAL;
}
