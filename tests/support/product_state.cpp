#include "support/product_state.h"

namespace productrun {

const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"LoomscribeTray";

std::wstring ReadRunValue() {
  wchar_t value[1024] = {};
  DWORD bytes = sizeof(value) - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, value,
                     &bytes) != ERROR_SUCCESS)
    return L"";
  return value;
}

bool RunValueExists() {
  DWORD bytes = 0;
  return ::RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr,
                        &bytes) == ERROR_SUCCESS;
}

bool TrayMutexExists() {
  HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
  if (!mutex) return false;
  ::CloseHandle(mutex);
  return true;
}

}  // namespace productrun
