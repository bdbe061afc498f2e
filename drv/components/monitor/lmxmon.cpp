// lmxmon64.dll: the port monitor "Loomscribe:".
//
// The spooler loads this DLL by the name registered with AddMonitorW and
// calls InitializePrintMonitor2 once; everything else goes through the
// MONITOR2 table returned there. The monitor offers one port, "Loomscribe:",
// and accepts documents on it. The product's document pipeline takes the
// print data elsewhere; here the data is accepted and dropped, so a job sent
// to the port completes.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cwchar>

namespace {

const wchar_t kPortName[] = L"Loomscribe:";
const wchar_t kMonitorName[] = L"Loomscribe:";
const wchar_t kPortDescription[] = L"Loomscribe virtual printer port";

constexpr DWORD kMonitorSignature = 0x4E4F4D4C;  // "LMON"
constexpr DWORD kPortSignature = 0x54504C4C;     // "LLPT"

struct MonitorState {
  DWORD signature;
  HANDLE spooler;  // from MONITORINIT, not owned
};

struct PortState {
  DWORD signature;
  MonitorState* monitor;
  BOOL inDocument;
  DWORD jobId;
  HANDLE printer;  // the job's printer, to tell the spooler the job is done
  ULONGLONG bytesWritten;
};

MonitorState* AsMonitor(HANDLE handle) {
  auto* monitor = static_cast<MonitorState*>(handle);
  return monitor && monitor->signature == kMonitorSignature ? monitor : nullptr;
}

PortState* AsPort(HANDLE handle) {
  auto* port = static_cast<PortState*>(handle);
  return port && port->signature == kPortSignature ? port : nullptr;
}

DWORD StringBytes(const wchar_t* text) {
  return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
}

// Copies `text` just below `*end` and returns where it went.
wchar_t* PlaceString(BYTE** end, const wchar_t* text) {
  DWORD bytes = StringBytes(text);
  *end -= bytes;
  memcpy(*end, text, bytes);
  return reinterpret_cast<wchar_t*>(*end);
}

// The one port, at level 1 (PORT_INFO_1W) or 2 (PORT_INFO_2W). The strings
// go to the end of the caller's buffer, as the spooler's own monitors do.
BOOL WINAPI EnumPorts(HANDLE monitor, LPWSTR name, DWORD level, LPBYTE ports, DWORD size,
                      LPDWORD needed, LPDWORD returned) {
  if (!needed || !returned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *needed = 0;
  *returned = 0;
  if (!AsMonitor(monitor)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD bytes = 0;
  if (level == 1) {
    bytes = sizeof(PORT_INFO_1W) + StringBytes(kPortName);
  } else if (level == 2) {
    bytes = sizeof(PORT_INFO_2W) + StringBytes(kPortName) + StringBytes(kMonitorName) +
            StringBytes(kPortDescription);
  } else {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *needed = bytes;
  if (!ports || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* end = ports + bytes;
  if (level == 1) {
    auto* info = reinterpret_cast<PORT_INFO_1W*>(ports);
    info->pName = PlaceString(&end, kPortName);
  } else {
    auto* info = reinterpret_cast<PORT_INFO_2W*>(ports);
    info->pDescription = PlaceString(&end, kPortDescription);
    info->pMonitorName = PlaceString(&end, kMonitorName);
    info->pPortName = PlaceString(&end, kPortName);
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

BOOL WINAPI OpenPort(HANDLE monitor, LPWSTR name, PHANDLE handle) {
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *handle = nullptr;
  MonitorState* state = AsMonitor(monitor);
  if (!state) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!name || wcscmp(name, kPortName) != 0) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  auto* port = static_cast<PortState*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                 sizeof(PortState)));
  if (!port) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  port->signature = kPortSignature;
  port->monitor = state;
  *handle = port;
  return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPWSTR printer, DWORD jobId, DWORD level, LPBYTE docInfo) {
  PortState* port = AsPort(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->printer) {
    ClosePrinter(port->printer);
    port->printer = nullptr;
  }
  // Without a printer handle the job still prints; only its end is not
  // reported, and the spooler removes it when the port is closed.
  if (printer && !OpenPrinterW(printer, &port->printer, nullptr)) port->printer = nullptr;
  port->inDocument = TRUE;
  port->jobId = jobId;
  port->bytesWritten = 0;
  return TRUE;
}

BOOL WINAPI WritePort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD written) {
  PortState* port = AsPort(handle);
  if (!port || !written) {
    SetLastError(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *written = 0;
  if (!port->inDocument) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  port->bytesWritten += size;
  *written = size;
  return TRUE;
}

BOOL WINAPI ReadPort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD read) {
  if (read) *read = 0;
  SetLastError(AsPort(handle) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WINAPI EndDocPort(HANDLE handle) {
  PortState* port = AsPort(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  port->inDocument = FALSE;
  if (port->printer) {
    // The data has gone where it goes: the spooler may delete the job.
    SetJobW(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
    ClosePrinter(port->printer);
    port->printer = nullptr;
  }
  return TRUE;
}

BOOL WINAPI ClosePort(HANDLE handle) {
  PortState* port = AsPort(handle);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->printer) ClosePrinter(port->printer);
  port->signature = 0;
  HeapFree(GetProcessHeap(), 0, port);
  return TRUE;
}

VOID WINAPI Shutdown(HANDLE monitor) {
  MonitorState* state = AsMonitor(monitor);
  if (!state) return;
  state->signature = 0;
  HeapFree(GetProcessHeap(), 0, state);
}

// The port's own key below the monitor's registry root. The spooler finds
// the monitor that owns a port by this key (Wine's localspl looks only
// there when it opens "Loomscribe:, Port" to print a job). Wine hands
// registry functions that are stubs failing with ERROR_CALL_NOT_IMPLEMENTED;
// then the key goes directly to where the spooler keeps the monitor's
// registration.
void RegisterPort(const MONITORINIT* init) {
  if (init && init->pMonitorReg && init->pMonitorReg->fpCreateKey &&
      init->pMonitorReg->fpCloseKey && init->hckRegistryRoot) {
    HANDLE key = nullptr;
    DWORD disposition = 0;
    if (init->pMonitorReg->fpCreateKey(init->hckRegistryRoot, L"Ports\\Loomscribe:", 0,
                                       KEY_ALL_ACCESS, nullptr, &key, &disposition,
                                       init->hSpooler) == ERROR_SUCCESS) {
      init->pMonitorReg->fpCloseKey(key, init->hSpooler);
      return;
    }
  }
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Loomscribe:\\Ports\\Loomscribe:",
                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
    RegCloseKey(key);
}

MONITOR2 MakeTable() {
  MONITOR2 table;
  memset(&table, 0, sizeof(table));
  table.cbSize = sizeof(MONITOR2);
  table.pfnEnumPorts = EnumPorts;
  table.pfnOpenPort = OpenPort;
  table.pfnStartDocPort = StartDocPort;
  table.pfnWritePort = WritePort;
  table.pfnReadPort = ReadPort;
  table.pfnEndDocPort = EndDocPort;
  table.pfnClosePort = ClosePort;
  table.pfnShutdown = Shutdown;
  return table;
}

MONITOR2 g_table = MakeTable();

}  // namespace

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor) {
  if (!monitor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  *monitor = nullptr;
  auto* state = static_cast<MonitorState*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                     sizeof(MonitorState)));
  if (!state) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  state->signature = kMonitorSignature;
  state->spooler = init ? init->hSpooler : nullptr;
  RegisterPort(init);
  *monitor = state;
  return &g_table;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
