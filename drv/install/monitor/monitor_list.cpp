#include <utility>

#include "monitor/monitor.h"
#include "platform/platform.h"
#include "platform/sized_call.h"
#include "session/session.h"

namespace {

constexpr DWORD kOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY

// "<prefix>. EnumMonitors  failed with code: <system text>". The text goes
// in as the system gives it, its line break included.
void LogEnumFailure(InstallSession& session, const wchar_t* format, DWORD error) {
  UniqueLocal<wchar_t> text = SystemErrorText(error);
  LogLine(session, format, text ? text.get() : L"No Error or no description");
}

const wchar_t* MonitorName(const MonitorList& list, uint32_t index) {
  if (list.level == 1) return reinterpret_cast<const MONITOR_INFO_1W*>(list.buffer.get())[index].pName;
  return reinterpret_cast<const MONITOR_INFO_2W*>(list.buffer.get())[index].pName;
}

}  // namespace

void ListMonitors(MonitorList& list, InstallSession& session) {
  list = MonitorList();
  UniqueGlobal<BYTE> buffer;
  DWORD size = 0;
  DWORD needed = 0;
  DWORD returned = 0;
  auto enumerate = [&returned](LPBYTE block, DWORD bytes, DWORD* reported) {
    if (block) returned = 0;
    return Os().EnumMonitorsW(nullptr, 2, block, bytes, reported, &returned);
  };
  switch (CallWithNeededSize(enumerate, buffer, size, needed)) {
    case SizedCall::kAnswered:
      // Without a buffer there are no records, whatever count came back.
      LogLine(session, L"1. EnumMonitors returns true");
      return;
    case SizedCall::kRefused:
      LogEnumFailure(session, L"2. EnumMonitors  failed with code: %s", Os().GetLastError());
      return;
    case SizedCall::kNoMemory:
      LogLine(session, L"3. EnumMonitors - can't allocate memory for buffer");
      Os().SetLastError(kOutOfMemory);
      return;
    case SizedCall::kFailed:
      LogEnumFailure(session, L"3. EnumMonitors  failed with code: %s", Os().GetLastError());
      return;
    case SizedCall::kFilled:
      break;
  }
  list.buffer = std::move(buffer);
  // Never more records than the block can hold.
  const DWORD fits = needed / sizeof(MONITOR_INFO_2W);
  list.count = returned < fits ? returned : fits;
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
