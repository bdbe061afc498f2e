// Owned handles: a holder closes what it holds when it goes out of scope,
// always through the seam, so the fakes see every close exactly as the code
// makes it.
//
// UniqueHandle<T, Close, kind> holds one value of type T. `Close` is the
// function that gives it back; `kind` says which value means "nothing held":
// null for most handles and blocks, INVALID_HANDLE_VALUE for what CreateFileW
// and FindFirstFileW return. Where the order of closes matters, call reset()
// at the point the close belongs, or release() to hand the value on.
#pragma once

#include <windows.h>

#include "platform/platform.h"

enum class EmptyValue { Null, Invalid };

template <class T, void (*Close)(T), EmptyValue kEmpty = EmptyValue::Null>
class UniqueHandle {
 public:
  UniqueHandle() : value_(Empty()) {}
  explicit UniqueHandle(T value) : value_(value) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  static T Empty() {
    if (kEmpty == EmptyValue::Invalid) return reinterpret_cast<T>(INVALID_HANDLE_VALUE);
    return T();
  }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Empty(); }

  // Closes what is held (if anything) and takes `value` instead. The thread's
  // last error is the same afterwards: a close on a way out of a failure
  // (some set it even when they succeed) must not change the error that is
  // logged after it.
  void reset(T value = Empty()) {
    T old = value_;
    value_ = value;
    if (old != Empty()) {
      DWORD error = Os().GetLastError();
      Close(old);
      Os().SetLastError(error);
    }
  }
  // Gives up ownership without closing.
  T release() {
    T value = value_;
    value_ = Empty();
    return value;
  }
  // For out-parameters: closes what is held and lends the place to write to.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_;
};

// The closing functions, each one call of the seam.
inline void CloseKernelObject(HANDLE handle) { Os().CloseHandle(handle); }
inline void CloseFindHandle(HANDLE find) { Os().FindClose(find); }
inline void CloseServiceObject(SC_HANDLE handle) { Os().CloseServiceHandle(handle); }
inline void CloseRegistryKey(HKEY key) { Os().RegCloseKey(key); }
inline void ClosePrinterObject(HANDLE printer) { Os().ClosePrinter(printer); }
inline void FreeLocalBlock(HLOCAL block) { Os().LocalFree(block); }
template <class T>
void FreeLocalBlockOf(T* block) {
  Os().LocalFree(const_cast<void*>(static_cast<const void*>(block)));
}
inline void DestroyEnvironment(void* block) { Os().DestroyEnvironmentBlock(block); }
template <class T>
void FreeGlobalBlock(T* block) {
  Os().GlobalFree(const_cast<void*>(static_cast<const void*>(block)));
}
template <class T>
void FreeHeapBlock(T* block) {
  Os().HeapFree(Os().GetProcessHeap(), 0, const_cast<void*>(static_cast<const void*>(block)));
}

// Files (CreateFileW) and searches (FindFirstFileW) fail with
// INVALID_HANDLE_VALUE; mutexes, processes and threads with null.
using UniqueFile = UniqueHandle<HANDLE, &CloseKernelObject, EmptyValue::Invalid>;
using UniqueFind = UniqueHandle<HANDLE, &CloseFindHandle, EmptyValue::Invalid>;
using UniqueKernelObject = UniqueHandle<HANDLE, &CloseKernelObject>;
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, &CloseServiceObject>;
using UniqueKey = UniqueHandle<HKEY, &CloseRegistryKey>;
using UniquePrinter = UniqueHandle<HANDLE, &ClosePrinterObject>;
// Texts that FormatMessageW allocated.
using UniqueLocalBlock = UniqueHandle<HLOCAL, &FreeLocalBlock>;
// A user's environment block (CreateEnvironmentBlock).
using UniqueEnvironment = UniqueHandle<void*, &DestroyEnvironment>;
// Blocks of the Windows global heap (GlobalAlloc with GMEM_FIXED), typed.
template <class T>
using UniqueGlobal = UniqueHandle<T*, &FreeGlobalBlock<T>>;
// Typed blocks of the local heap (what FormatMessageW allocates).
template <class T>
using UniqueLocal = UniqueHandle<T*, &FreeLocalBlockOf<T>>;
// Blocks of the process heap.
template <class T>
using UniqueHeap = UniqueHandle<T*, &FreeHeapBlock<T>>;

// A global-heap array of `count` records, each of which may own blocks of
// its own that `FreeElement` gives back (and clears); the records' blocks and
// the array go with the owner.
template <class T, void (*FreeElement)(T&)>
class GlobalArray {
 public:
  GlobalArray() = default;
  GlobalArray(T* array, size_t count) : array_(array), count_(array ? count : 0) {}
  ~GlobalArray() { reset(); }
  GlobalArray(GlobalArray&& other) noexcept : array_(other.array_.release()), count_(other.count_) {
    other.count_ = 0;
  }
  GlobalArray& operator=(GlobalArray&& other) noexcept {
    if (this != &other) {
      reset();
      count_ = other.count_;
      array_.reset(other.array_.release());
      other.count_ = 0;
    }
    return *this;
  }
  GlobalArray(const GlobalArray&) = delete;
  GlobalArray& operator=(const GlobalArray&) = delete;

  explicit operator bool() const { return static_cast<bool>(array_); }
  T* get() const { return array_.get(); }
  T& operator[](size_t index) const { return array_.get()[index]; }
  size_t size() const { return count_; }

  // Takes `array` of `count` records, into which the present records were
  // copied: what they own went along, so only the old array goes.
  void TakeGrown(T* array, size_t count) {
    array_.reset(array);
    count_ = array ? count : 0;
  }
  void reset() {
    for (size_t i = 0; array_ && i < count_; ++i) FreeElement(array_.get()[i]);
    array_.reset();
    count_ = 0;
  }

 private:
  UniqueGlobal<T> array_;
  size_t count_ = 0;
};

inline void FreeGlobalText(wchar_t*& text) {
  UniqueGlobal<wchar_t> freed(text);
  text = nullptr;
}
// A global-heap array of texts, each in a global-heap block of its own or
// null.
using GlobalTexts = GlobalArray<wchar_t*, &FreeGlobalText>;
