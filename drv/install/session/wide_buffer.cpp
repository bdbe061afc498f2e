#include "session/wide_buffer.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace {

struct WideBlock {
  uint64_t count;
  wchar_t chars[1];
};

constexpr size_t kCountBytes = sizeof(uint64_t);

WideBlock* BlockOf(const WideBuffer& buffer) { return static_cast<WideBlock*>(buffer.block); }

}  // namespace

size_t WideBlockBytes(uint64_t count) {
  uint64_t capacity = (count + 1 + 31) / 32 * 32;
  return kCountBytes + static_cast<size_t>(capacity) * sizeof(wchar_t);
}

uint64_t Length(const WideBuffer& buffer) { return buffer.block ? BlockOf(buffer)->count : 0; }

const wchar_t* Text(const WideBuffer& buffer) {
  return buffer.block ? BlockOf(buffer)->chars : L"";
}

wchar_t* MutableText(WideBuffer& buffer) { return buffer.block ? BlockOf(buffer)->chars : nullptr; }

bool SetLength(WideBuffer& buffer, uint64_t count) {
  if (count == 0) {
    Release(buffer);
    return true;
  }
  // A count whose block size would not fit size_t is refused like any other
  // allocation that cannot be had.
  if (count >= (SIZE_MAX - kCountBytes) / sizeof(wchar_t) - 64) return false;
  size_t bytes = WideBlockBytes(count);
  if (!buffer.block) {
    void* block = Os().HeapAlloc(Os().GetProcessHeap(), 0, bytes);
    if (!block) return false;
    buffer.block = block;
  } else if (bytes != WideBlockBytes(BlockOf(buffer)->count)) {
    void* block = Os().HeapReAlloc(Os().GetProcessHeap(), 0, buffer.block, bytes);
    if (!block) return false;
    buffer.block = block;
  }
  BlockOf(buffer)->count = count;
  BlockOf(buffer)->chars[count] = L'\0';
  return true;
}

WideBuffer::~WideBuffer() { Release(*this); }

WideBuffer& WideBuffer::operator=(WideBuffer&& other) noexcept {
  if (this != &other) {
    Release(*this);
    block = other.block;
    other.block = nullptr;
  }
  return *this;
}

void Release(WideBuffer& buffer) {
  if (buffer.block) FreeHeapBlock(buffer.block);
  buffer.block = nullptr;
}

bool Assign(WideBuffer& buffer, const wchar_t* text) {
  size_t n = text ? std::wcslen(text) : 0;
  if (n == 0) {
    Release(buffer);
    return true;
  }
  if (!SetLength(buffer, n)) return false;
  std::wmemmove(BlockOf(buffer)->chars, text, n);
  return true;
}

bool AppendCount(WideBuffer& buffer, const wchar_t* text, size_t count) {
  if (!text || count == 0) return true;
  uint64_t old = Length(buffer);
  // The text may lie inside the buffer itself: keep its offset across a move.
  const wchar_t* base = Text(buffer);
  bool inside = buffer.block && text >= base && text <= base + old;
  size_t offset = inside ? static_cast<size_t>(text - base) : 0;
  if (!SetLength(buffer, old + count)) return false;
  const wchar_t* source = inside ? BlockOf(buffer)->chars + offset : text;
  std::wmemmove(BlockOf(buffer)->chars + old, source, count);
  return true;
}

bool Append(WideBuffer& buffer, const wchar_t* text) {
  return AppendCount(buffer, text, text ? std::wcslen(text) : 0);
}

WideBuffer AssignAnsi(const char* text) {
  WideBuffer result;
  if (!text || !*text) return result;
  int withTerminator = Os().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (withTerminator <= 1) return result;
  if (!SetLength(result, static_cast<uint64_t>(withTerminator - 1))) return result;
  Os().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, BlockOf(result)->chars,
                           withTerminator);
  BlockOf(result)->chars[withTerminator - 1] = L'\0';
  return result;
}

WideBuffer ParentDirectory(const WideBuffer& buffer) {
  WideBuffer result;
  const wchar_t* text = Text(buffer);
  const wchar_t* separator = std::wcsrchr(text, L'\\');
  if (!separator) separator = std::wcsrchr(text, L'/');
  if (!separator || separator == text) return result;
  AppendCount(result, text, static_cast<size_t>(separator - text));
  return result;
}

WideBuffer CopyBuffer(const WideBuffer& buffer) {
  WideBuffer result;
  AppendCount(result, Text(buffer), static_cast<size_t>(Length(buffer)));
  return result;
}
