#include "support/fake_platform.h"

#include <algorithm>
#include <set>

namespace fake {

namespace {

template <class F> struct ReturnOf;
template <class R, class... A> struct ReturnOf<R(WINAPI*)(A...)> { using type = R; };

// Entries that fall back to the real call: memory, error texts, text
// conversion and comparison, security descriptors and the thread's last
// error. They are not recorded.
const std::set<std::string>& RealQuietEntries() {
  static const std::set<std::string> names = {
      "GetLastError", "SetLastError", "GlobalAlloc",  "GlobalFree",     "LocalFree",
      "GetProcessHeap", "HeapAlloc",  "HeapReAlloc",  "HeapFree",       "FormatMessageW",
      "MultiByteToWideChar", "CompareStringOrdinal",
      // Security descriptors and identifiers: pure computation on memory.
      "ConvertStringSecurityDescriptorToSecurityDescriptorW", "GetAclInformation", "GetAce",
      "IsWellKnownSid", "EqualSid",
      // Time conversion: pure computation.
      "FileTimeToSystemTime"};
  return names;
}

// Entries that fall back to the real call and are recorded.
const std::set<std::string>& RealRecordedEntries() {
  static const std::set<std::string> names = {"CommandLineToArgvW"};
  return names;
}

void InstallClock() {
  Set<&Platform::GetTickCount>([] { return TheClock().now; });
  Set<&Platform::Sleep>([](DWORD ms) {
    TheClock().now += ms;
    TheClock().slept += ms;
    TheClock().sleeps.push_back(ms);
  });
  Set<&Platform::WaitForSingleObject>([](HANDLE, DWORD ms) -> DWORD {
    if (ms != INFINITE) {
      TheClock().now += ms;
      TheClock().slept += ms;
    }
    return WAIT_TIMEOUT;
  });
}

template <auto Member, class R>
void Prepare(Platform& table, const char* name, R fail, Behind behind) {
  using H = Hook<Member>;
  using Ret = typename ReturnOf<std::remove_reference_t<decltype(table.*Member)>>::type;
  H::name = name;
  H::fn = nullptr;
  if constexpr (std::is_void_v<Ret>) {
    H::failure = [] {};
  } else {
    H::failure = [fail] { return (Ret)(fail); };
  }
  if (behind == Behind::RealWindows || RealQuietEntries().count(name) ||
      RealRecordedEntries().count(name)) {
    H::fallback = RealPlatform().*Member;
  } else {
    H::fallback = [](auto...) -> Ret {
      ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return Hook<Member>::failure();
    };
  }
  H::record = RealQuietEntries().count(name) == 0;
  table.*Member = &H::Thunk;
}

void ResetAll(Platform& table, Behind behind) {
#define LMX_FAKE_PREPARE(name, lib, fail) Prepare<&Platform::name>(table, #name, fail, behind);
  LMX_PLATFORM_ENTRIES(LMX_FAKE_PREPARE)
#undef LMX_FAKE_PREPARE
  Calls().clear();
  TheClock() = Clock{};
  if (behind == Behind::Fakes) InstallClock();
}

}  // namespace

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}

void RecordCall(const char* name) { Calls().emplace_back(name); }

int CountCalls(const std::string& name) {
  return static_cast<int>(std::count(Calls().begin(), Calls().end(), name));
}

std::vector<std::string> CallsAmong(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& c : Calls())
    if (std::find(names.begin(), names.end(), c) != names.end()) out.push_back(c);
  return out;
}

Clock& TheClock() {
  static Clock clock;
  return clock;
}

FakePlatform::FakePlatform(Behind behind) {
  RealPlatform();  // bind the real table first: its build reads the real entries
  ResetAll(table_, behind);
  previous_ = SetPlatform(&table_);
}

FakePlatform::~FakePlatform() {
  SetPlatform(previous_);
  Platform scratch{};
  ResetAll(scratch, Behind::Fakes);  // drop every lambda and its captures
}

}  // namespace fake
