// A fake seam for unit tests, and per-test layers over the real one.
//
// FakePlatform installs a table in which every entry goes through a Hook:
// the test may give any entry its own behaviour (a lambda, with captures),
// every call is recorded by name, and any call can be made to fail on its
// n-th use with a chosen last error. Entries a test leaves alone fail the way
// the real call fails, with ERROR_CALL_NOT_IMPLEMENTED, except memory, error
// texts and text conversion (real) and the clock (fake: Sleep and waits
// advance the tick count and never really sleep).
//
// FakePlatform(Behind::RealWindows) installs the same hooks with the real
// calls behind every entry and the real clock: the system tests layer their
// faults over Wine's spooler, registry and files with the same Wrap.
#pragma once

#include <windows.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Names of the calls made through the fake table, in order.
std::vector<std::string>& Calls();
void RecordCall(const char* name);
// How many times `name` was called.
int CountCalls(const std::string& name);
// The calls named in `names`, in the order they were made.
std::vector<std::string> CallsAmong(const std::vector<std::string>& names);

struct Clock {
  DWORD now = 1000;
  DWORD slept = 0;  // total of all Sleep and wait time-outs
  std::vector<DWORD> sleeps;
};
Clock& TheClock();

template <auto Member,
          class P = std::remove_reference_t<decltype(std::declval<Platform&>().*Member)>>
struct Hook;

template <auto Member, class R, class... A>
struct Hook<Member, R(WINAPI*)(A...)> {
  using Fn = std::function<R(A...)>;
  static inline Fn fn;
  static inline R(WINAPI* fallback)(A...) = nullptr;
  static inline std::function<R()> failure;  // the failing result, last error set by caller
  static inline const char* name = "";
  static inline bool record = true;

  static R WINAPI Thunk(A... a) {
    if (record) RecordCall(name);
    if (fn) return fn(a...);
    return fallback(a...);
  }
  // What the entry does without the test's own behaviour.
  static R Default(A... a) { return fallback(a...); }
};

template <auto Member, class F>
void Set(F&& f) {
  Hook<Member>::fn = std::forward<F>(f);
}

// The real Windows entry behind this one (for calls a test wants done for real).
template <auto Member>
void UseReal() {
  Hook<Member>::fn = nullptr;
  Hook<Member>::fallback = RealPlatform().*Member;
}

// Layers `layer` over the entry's present behaviour: every later call goes
// to layer(previous, arguments...), where `previous` is what the entry did
// before (the test's behaviour, the world's, or the default). Per-test
// faults, refusals and argument checks are all made this way, so they stack
// in the order they are added.
template <auto Member, class Layer>
void Wrap(Layer layer) {
  using H = Hook<Member>;
  typename H::Fn previous = H::fn ? H::fn : typename H::Fn(H::fallback);
  H::fn = [previous, layer](auto... a) mutable { return layer(previous, a...); };
}

// Makes every call for which when(arguments...) is true fail with `error`
// and the entry's failing result; the other calls keep the present behaviour.
template <auto Member, class When>
void FailWhen(When when, DWORD error) {
  Wrap<Member>([when, error](auto& previous, auto... a) mutable {
    if (when(a...)) {
      ::SetLastError(error);
      return Hook<Member>::failure();
    }
    return previous(a...);
  });
}

// Makes the calls numbered first..last from now (1-based) fail with `error`.
template <auto Member>
void FailCalls(int first, int last, DWORD error) {
  auto count = std::make_shared<int>(0);
  FailWhen<Member>([count, first, last](auto...) {
    ++*count;
    return *count >= first && *count <= last;
  }, error);
}

// Makes the n-th call from now (1-based) fail with `error`.
template <auto Member>
void FailNth(int n, DWORD error) {
  FailCalls<Member>(n, n, error);
}

// Makes every call from the n-th on fail with `error`.
template <auto Member>
void FailFrom(int n, DWORD error) {
  FailCalls<Member>(n, INT_MAX, error);
}

// What an entry does when no test behaviour or layer is set.
enum class Behind {
  Fakes,        // fails with ERROR_CALL_NOT_IMPLEMENTED; fake clock; memory is real
  RealWindows,  // the real call, the real clock
};

// Makes the n-th WriteFile from now (1-based) succeed but report one byte
// fewer written than it was given. It breaks the call's promise on purpose
// (a short write without an error), which no model of the machine does on
// its own, so each test that wants it asks for it here.
inline void ReportShortWrite(int n) {
  auto count = std::make_shared<int>(0);
  Wrap<&Platform::WriteFile>([count, n](auto& previous, HANDLE file, LPCVOID data, DWORD bytes,
                                        LPDWORD written, LPOVERLAPPED overlapped) {
    BOOL ok = previous(file, data, bytes, written, overlapped);
    if (++*count == n && ok && written && *written > 0) --*written;
    return ok;
  });
}

// The same for the first write into a file whose opening CreateFileW
// `opens(path, flags)` accepts (the check's scratch files, opened with
// FILE_FLAG_DELETE_ON_CLOSE, can so be passed over).
template <class Opens>
void ReportShortWriteInto(Opens opens) {
  auto files = std::make_shared<std::vector<HANDLE>>();
  auto done = std::make_shared<bool>(false);
  Wrap<&Platform::CreateFileW>([files, opens](auto& previous, LPCWSTR path, DWORD access,
                                              DWORD share, LPSECURITY_ATTRIBUTES security,
                                              DWORD disposition, DWORD flags, HANDLE copyFrom) {
    HANDLE file = previous(path, access, share, security, disposition, flags, copyFrom);
    // A handle value may come again for another file.
    files->erase(std::remove(files->begin(), files->end(), file), files->end());
    if (opens(path, flags)) files->push_back(file);
    return file;
  });
  Wrap<&Platform::WriteFile>([files, done](auto& previous, HANDLE file, LPCVOID data, DWORD bytes,
                                           LPDWORD written, LPOVERLAPPED overlapped) {
    BOOL ok = previous(file, data, bytes, written, overlapped);
    if (!*done && ok && written && *written > 0 &&
        std::find(files->begin(), files->end(), file) != files->end()) {
      *done = true;
      --*written;
    }
    return ok;
  });
}

// Installs the hook table for its lifetime and resets every hook, the call
// log and the clock, before and after.
class FakePlatform {
 public:
  explicit FakePlatform(Behind behind = Behind::Fakes);
  ~FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;
  const Platform& table() const { return table_; }

 private:
  Platform table_;
  const Platform* previous_;
};

}  // namespace fake
