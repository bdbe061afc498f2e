// The two-call size protocol of the spooler's queries: a first call without
// a buffer reports the bytes it needs, and only a refusal with
// ERROR_INSUFFICIENT_BUFFER leads on to a buffer of that size and a second
// call with it.
#pragma once

#include <windows.h>

#include "platform/platform.h"
#include "platform/unique_handle.h"

enum class SizedCall {
  kAnswered,  // the first call succeeded without a buffer: nothing to read
  kRefused,   // the first call failed with another error (last error kept)
  kNoMemory,  // the buffer could not be had
  kFailed,    // the second call failed (last error kept)
  kFilled,    // the second call filled the buffer
};

// `call(buffer, size, &needed)` makes the query and returns its BOOL.
// `allocate(bytes)` provides the buffer for the reported size (null when it
// cannot, with the last error set). `size` receives the reported size (what
// the second call is told), `needed` what the calls report last.
template <class Call, class Allocate>
SizedCall CallWithNeededSize(Call call, Allocate allocate, DWORD& size, DWORD& needed) {
  needed = 0;
  if (call(nullptr, 0, &needed)) return SizedCall::kAnswered;
  if (Os().GetLastError() != ERROR_INSUFFICIENT_BUFFER) return SizedCall::kRefused;
  size = needed;
  LPBYTE buffer = allocate(size);
  if (!buffer) return SizedCall::kNoMemory;
  return call(buffer, size, &needed) ? SizedCall::kFilled : SizedCall::kFailed;
}

// The usual case: the buffer is a zero-filled block of the Windows global
// heap, `spare` bytes larger than reported, held by `block` (and freed with
// it); a failed allocation sets the last error to E_OUTOFMEMORY.
template <class Call>
SizedCall CallWithNeededSize(Call call, UniqueGlobal<BYTE>& block, DWORD& size, DWORD& needed,
                             DWORD spare = 0) {
  return CallWithNeededSize(
      call,
      [&block, spare](DWORD bytes) -> LPBYTE {
        block.reset(static_cast<BYTE*>(Os().GlobalAlloc(GPTR, static_cast<SIZE_T>(bytes) + spare)));
        if (!block) Os().SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return block.get();
      },
      size, needed);
}
