// The real side of the seam: every entry bound to Windows.
#include "platform/platform.h"

#include <type_traits>

namespace {

template <class F> struct ReturnOf;
template <class R, class... A> struct ReturnOf<R(WINAPI*)(A...)> { using type = R; };

// Stand-in for an entry whose DLL or export could not be had: it fails the
// way the real call fails, with ERROR_PROC_NOT_FOUND as the last error.
#define LMX_MISSING(name, fail)                                                        \
  [](auto...) -> ReturnOf<decltype(&::name)>::type {                                   \
    ::SetLastError(ERROR_PROC_NOT_FOUND);                                              \
    return static_cast<ReturnOf<decltype(&::name)>::type>(fail);                       \
  }

HMODULE LoadSystemLibrary(const wchar_t* name) {
  // Never the program's own directory, never the current directory: a DLL of
  // the same name planted beside install.exe must not be loaded.
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <class P>
void Bind(P& entry, HMODULE module, const char* name, P missing) {
  FARPROC proc = module ? ::GetProcAddress(module, name) : nullptr;
  entry = proc ? reinterpret_cast<P>(reinterpret_cast<void*>(proc)) : missing;
}

Platform BuildRealPlatform() {
  Platform t{};
  HMODULE winspool = LoadSystemLibrary(L"winspool.drv");
  HMODULE version = LoadSystemLibrary(L"version.dll");
  HMODULE userenv = LoadSystemLibrary(L"userenv.dll");
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  (void)winspool;
  (void)version;
  (void)userenv;
  (void)ntdll;
#define LMX_BIND_K(name, fail) t.name = &::name;
#define LMX_BIND_U(name, fail) t.name = &::name;
#define LMX_BIND_A(name, fail) t.name = &::name;
#define LMX_BIND_S(name, fail) t.name = &::name;
#define LMX_BIND_W(name, fail) Bind<decltype(t.name)>(t.name, winspool, #name, LMX_MISSING(name, fail));
#define LMX_BIND_V(name, fail) Bind<decltype(t.name)>(t.name, version, #name, LMX_MISSING(name, fail));
#define LMX_BIND_E(name, fail) Bind<decltype(t.name)>(t.name, userenv, #name, LMX_MISSING(name, fail));
#define LMX_BIND_N(name, fail) Bind<decltype(t.name)>(t.name, ntdll, #name, LMX_MISSING(name, fail));
#define LMX_BIND(name, lib, fail) LMX_BIND_##lib(name, fail)
  LMX_PLATFORM_ENTRIES(LMX_BIND)
#undef LMX_BIND

  WineCompat& compat = CurrentWineCompat();
  compat.active = RunningOnWine();
  compat.addPrinter = t.AddPrinterW;
  compat.deletePrinterDriverEx = t.DeletePrinterDriverExW;
  compat.enumPrinterDrivers = t.EnumPrinterDriversW;
  compat.deleteFile = t.DeleteFileW;
  if (compat.active) {
    t.AddPrinterW = &CompatAddPrinterW;
    t.DeletePrinterDriverExW = &CompatDeletePrinterDriverExW;
  }
  return t;
}

const Platform* g_current = nullptr;

}  // namespace

const Platform& RealPlatform() {
  static const Platform real = BuildRealPlatform();
  return real;
}

const Platform& Os() {
  if (!g_current) g_current = &RealPlatform();
  return *g_current;
}

const Platform* SetPlatform(const Platform* table) {
  const Platform* old = &Os();
  g_current = table ? table : &RealPlatform();
  return old;
}

void RestrictDllSearchToSystemDirectory() {
  // Windows 7 without KB2533623 lacks SetDefaultDllDirectories; kernel32 is
  // always loaded, so looking it up there is safe.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto fn = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                         ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                   : nullptr;
  if (fn) fn(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
