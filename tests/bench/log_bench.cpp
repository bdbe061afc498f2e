// Builds a log of 100 000 lines with LogLine and prints what it cost: wall
// time, the program's own CPU time, the heap calls behind the log's growth
// and the log's final size.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "session/session.h"

namespace {

struct Counts {
  long long reallocs = 0, allocs = 0;
};
Counts g_counts;
decltype(&::HeapReAlloc) g_realReAlloc;
decltype(&::HeapAlloc) g_realAlloc;

LPVOID WINAPI CountingReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  ++g_counts.reallocs;
  return g_realReAlloc(heap, flags, block, bytes);
}
LPVOID WINAPI CountingAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++g_counts.allocs;
  return g_realAlloc(heap, flags, bytes);
}

double Seconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 1e7;
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

}  // namespace

int main(int argc, char** argv) {
  int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  Platform table = RealPlatform();
  g_realReAlloc = table.HeapReAlloc;
  g_realAlloc = table.HeapAlloc;
  table.HeapReAlloc = &CountingReAlloc;
  table.HeapAlloc = &CountingAlloc;
  SetPlatform(&table);

  InstallSession session;
  BeginSession(session);
  session.IndentDepth = 3;
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  double cpuStart = CpuSeconds();
  ::QueryPerformanceCounter(&start);
  for (int i = 0; i < lines; ++i)
    LogLine(session, L"SetPrinter(%s) - ok %d", L"Loomscribe printer number", i);
  ::QueryPerformanceCounter(&end);
  double cpu = CpuSeconds() - cpuStart;
  double wall = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
  unsigned long long chars = Length(session.InstallLog);
  std::printf("log_bench: %d lines with LogLine\n", lines);
  std::printf("  wall time      %10.3f ms (%.0f ns per line)\n", wall * 1e3, wall * 1e9 / lines);
  std::printf("  CPU time       %10.3f ms\n", cpu * 1e3);
  std::printf("  log size       %10llu characters (%.1f MiB)\n", chars,
              chars * 2.0 / (1024 * 1024));
  std::printf("  heap allocs    %10lld\n", g_counts.allocs);
  std::printf("  heap reallocs  %10lld (one per line that crosses a 32-character step)\n", g_counts.reallocs);
  EndSession(session);
  SetPlatform(nullptr);
  return 0;
}
