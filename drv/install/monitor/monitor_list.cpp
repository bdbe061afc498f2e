#include "monitor/monitor.h"
#include "platform/platform.h"
#include "session/session.h"

namespace {

constexpr DWORD kOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY

// "<prefix>. EnumMonitors  failed with code: <system text>". The text goes
// in as the system gives it, its line break included.
void LogEnumFailure(InstallSession& session, const wchar_t* format, DWORD error) {
  wchar_t* text = SystemErrorText(error);
  LogLine(session, format, text ? text : L"No Error or no description");
  if (text) Os().LocalFree(text);
}

const wchar_t* MonitorName(const MonitorList& list, uint32_t index) {
  if (list.level == 1) return reinterpret_cast<const MONITOR_INFO_1W*>(list.buffer)[index].pName;
  return reinterpret_cast<const MONITOR_INFO_2W*>(list.buffer)[index].pName;
}

}  // namespace

void ListMonitors(MonitorList& list, InstallSession& session) {
  list.level = 2;
  list.buffer = nullptr;
  list.count = 0;
  DWORD needed = 0;
  DWORD returned = 0;
  if (Os().EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned)) {
    // Without a buffer there are no records, whatever count came back.
    LogLine(session, L"1. EnumMonitors returns true");
    return;
  }
  DWORD error = Os().GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    LogEnumFailure(session, L"2. EnumMonitors  failed with code: %s", error);
    return;
  }
  auto* buffer = static_cast<BYTE*>(Os().GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, needed));
  if (!buffer) {
    LogLine(session, L"3. EnumMonitors - can't allocate memory for buffer");
    Os().SetLastError(kOutOfMemory);
    return;
  }
  returned = 0;
  if (!Os().EnumMonitorsW(nullptr, 2, buffer, needed, &needed, &returned)) {
    error = Os().GetLastError();
    LogEnumFailure(session, L"3. EnumMonitors  failed with code: %s", error);
    Os().GlobalFree(buffer);
    return;
  }
  list.buffer = buffer;
  // Never more records than the block can hold.
  const DWORD fits = needed / sizeof(MONITOR_INFO_2W);
  list.count = returned < fits ? returned : fits;
}

void FreeMonitorList(MonitorList& list) {
  if (list.buffer) Os().GlobalFree(list.buffer);
  list.buffer = nullptr;
  list.count = 0;
}

int32_t FindProductMonitor(const MonitorList& list) {
  if (list.count == 0 || !list.buffer || (list.level != 1 && list.level != 2)) return -1;
  for (uint32_t i = 0; i < list.count; ++i)
    if (IsProductPortName(MonitorName(list, i))) return static_cast<int32_t>(i);
  return -1;
}

void LogMonitorList(InstallSession& session, const MonitorList& list) {
  const uint32_t count = list.buffer ? list.count : 0;
  LogLine(session, L"------- %d existing monitors ----------", static_cast<int>(count));
  if (list.level == 1 || list.level == 2) {
    for (uint32_t i = 0; i < count; ++i) {
      const wchar_t* name = MonitorName(list, i);
      LogLine(session, L"%d. %s", static_cast<int>(i + 1), name ? name : L"***EMPTY***");
    }
  }
  LogLine(session, L"---------------------------------------");
}
