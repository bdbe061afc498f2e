// WideBuffer: growable UTF-16 text on the process heap.
#pragma once

#include <cstddef>
#include <cstdint>

// WideBuffer: one pointer. Null is the empty text and holds no memory.
// Otherwise it leads to one heap block: a 64-bit character count, that many
// UTF-16 characters and a NUL. The capacity is not stored: it is count + 1
// rounded up to the next multiple of 32 characters. The buffer owns its
// block: it is moved, never copied (CopyBuffer makes a second one), and gives
// the block back through the seam when it goes out of scope.
struct WideBuffer {
  WideBuffer() = default;
  ~WideBuffer();
  WideBuffer(WideBuffer&& other) noexcept : block(other.block) { other.block = nullptr; }
  WideBuffer& operator=(WideBuffer&& other) noexcept;
  WideBuffer(const WideBuffer&) = delete;
  WideBuffer& operator=(const WideBuffer&) = delete;

  void* block = nullptr;
};

// Bytes of the block that holds `count` characters (count field included).
size_t WideBlockBytes(uint64_t count);
uint64_t Length(const WideBuffer& buffer);
// The characters; "" for the empty buffer.
const wchar_t* Text(const WideBuffer& buffer);
// Writable characters (null for the empty buffer).
wchar_t* MutableText(WideBuffer& buffer);
// Sets the count, growing or shrinking the block when its size changes.
// Returns false, with the buffer unchanged, when memory cannot be had.
bool SetLength(WideBuffer& buffer, uint64_t count);
// Gives the block back: the buffer is empty again.
void Release(WideBuffer& buffer);
bool Assign(WideBuffer& buffer, const wchar_t* text);
bool Append(WideBuffer& buffer, const wchar_t* text);
bool AppendCount(WideBuffer& buffer, const wchar_t* text, size_t count);
// Text in the ANSI code page converted to UTF-16.
WideBuffer AssignAnsi(const char* text);
// The characters before the last backslash (or, when there is none, before
// the last slash); empty when there is neither, or when the separator is the
// first character.
WideBuffer ParentDirectory(const WideBuffer& buffer);
WideBuffer CopyBuffer(const WideBuffer& buffer);
