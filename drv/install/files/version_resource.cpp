#include "files/version_resource.h"

#include <windows.h>

#include "platform/platform.h"
#include "platform/unique_handle.h"

int32_t FileBuildNumber(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = Os().GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return -1;
  UniqueGlobal<BYTE> block(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, size)));
  if (!block) return -1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedBytes = 0;
  if (Os().GetFileVersionInfoW(path, 0, size, block.get()) &&
      Os().VerQueryValueW(block.get(), L"\\", reinterpret_cast<LPVOID*>(&fixed), &fixedBytes) &&
      fixed && fixedBytes >= sizeof(VS_FIXEDFILEINFO))
    return static_cast<int32_t>(LOWORD(fixed->dwProductVersionLS));
  return -1;
}
