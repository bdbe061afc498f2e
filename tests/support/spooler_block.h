// The spooler's answer block, for every fake that answers a spooler call:
// the records first, then their strings back to back in the caller's block,
// with the two-call size protocol (a block too small or none fails with
// ERROR_INSUFFICIENT_BUFFER and gives the size needed).
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace fake {

// Lays out the strings behind `recordBytes` of records; with a null base it
// only counts (the sizing pass).
class Packer {
 public:
  Packer(BYTE* base, size_t recordBytes) : base_(base), next_(recordBytes) {}
  // A null text stays a null pointer and takes no room.
  LPWSTR Put(const wchar_t* text) {
    if (!text) return nullptr;
    size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    LPWSTR out = nullptr;
    if (base_) {
      out = reinterpret_cast<LPWSTR>(base_ + next_);
      std::memcpy(out, text, bytes);
    }
    next_ += bytes;
    return out;
  }
  LPWSTR Put(const std::wstring& text) { return Put(text.c_str()); }
  size_t used() const { return next_; }

 private:
  BYTE* base_;
  size_t next_;
};

// fill(packer, record, item) is run once to size the block and once more to
// fill it. Returns the bytes the block needs; with `block` null (or
// `size` short) nothing is written.
template <class Record, class Item, class Fill>
size_t PackRecords(const std::vector<Item>& items, BYTE* block, size_t size, Fill fill) {
  const size_t recordBytes = sizeof(Record) * items.size();
  Packer sizing(nullptr, recordBytes);
  Record scratch{};
  for (const Item& item : items) fill(sizing, scratch, item);
  if (!block || size < sizing.used()) return sizing.used();
  std::memset(block, 0, sizing.used());
  Packer packer(block, recordBytes);
  auto* records = reinterpret_cast<Record*>(block);
  for (size_t i = 0; i < items.size(); ++i) fill(packer, records[i], items[i]);
  return sizing.used();
}

// The two-call protocol over PackRecords. An empty list succeeds at once
// with nothing needed, as the spooler answers it.
template <class Record, class Item, class Fill>
BOOL Answer(const std::vector<Item>& items, BYTE* block, DWORD size, DWORD* needed,
            DWORD* returned, Fill fill) {
  size_t bytes = PackRecords<Record>(items, block, size, fill);
  if (needed) *needed = static_cast<DWORD>(bytes);
  if (returned) *returned = 0;
  if (items.empty()) return TRUE;
  if (!block || size < bytes) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (returned) *returned = static_cast<DWORD>(items.size());
  return TRUE;
}

// The same block in global memory (GPTR), as a caller keeps an answer;
// null for no items.
template <class Record, class Item, class Fill>
Record* PackGlobal(const std::vector<Item>& items, Fill fill) {
  if (items.empty()) return nullptr;
  size_t bytes = PackRecords<Record>(items, nullptr, 0, fill);
  auto* block = static_cast<BYTE*>(::GlobalAlloc(GPTR, bytes));
  PackRecords<Record>(items, block, bytes, fill);
  return reinterpret_cast<Record*>(block);
}

}  // namespace fake
