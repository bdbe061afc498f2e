#include "monitor/port_text.h"

#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace {

constexpr wchar_t kProductPortText[] = L"Loomscribe:";
constexpr size_t kProductPortChars = 11;
constexpr wchar_t kFilePortText[] = L"file:";
constexpr size_t kFilePortChars = 5;
constexpr size_t kGrowth = kProductPortChars - kFilePortChars;  // 6

// Offset of the first `what` (of `whatChars` characters) within the first
// `length` characters of `text`, or `length` when there is none.
size_t FindWithin(const wchar_t* text, size_t length, const wchar_t* what, size_t whatChars) {
  if (length < whatChars) return length;
  for (size_t at = 0; at + whatChars <= length; ++at)
    if (std::wmemcmp(text + at, what, whatChars) == 0) return at;
  return length;
}

struct RememberedRewrite {
  const PRINTER_INFO_2W* record;
  const wchar_t* text;  // the record's pPortName when it was rewritten
  PortRewrite rewrite;
};

// The rewrites of one list, in a global-heap block of their own.
struct RewriteTable {
  PRINTER_INFO_2W** list = nullptr;
  RememberedRewrite* items = nullptr;
  size_t capacity = 0;
  size_t count = 0;
};

RewriteTable& Table() {
  static RewriteTable table;
  return table;
}

}  // namespace

size_t BoundedLength(const wchar_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != L'\0') ++n;
  return n;
}

bool RedirectPortText(wchar_t* text, PortRewrite* rewrite) {
  if (!text) return false;
  size_t length = std::wcslen(text);
  size_t at = FindWithin(text, length, kProductPortText, kProductPortChars);
  if (at == length) return false;
  // "file:" and its terminator over the start of the occurrence, then the
  // rest (terminator included) right behind "file:". The text only shrinks.
  std::wmemcpy(text + at, kFilePortText, kFilePortChars);
  size_t rest = at + kProductPortChars;
  std::memmove(text + at + kFilePortChars, text + rest, (length - rest + 1) * sizeof(wchar_t));
  if (rewrite) {
    rewrite->offset = at;
    rewrite->capacity = length + 1;
  }
  return true;
}

bool RestorePortText(wchar_t* text, const PortRewrite& rewrite) {
  if (!text || rewrite.capacity == 0) return false;
  // The present length, looked for only within the storage the text had.
  size_t length = BoundedLength(text, rewrite.capacity);
  if (length == rewrite.capacity) return false;              // no terminator within it
  if (length + kGrowth + 1 > rewrite.capacity) return false;  // would not fit
  if (rewrite.offset + kFilePortChars > length) return false;
  if (std::wmemcmp(text + rewrite.offset, kFilePortText, kFilePortChars) != 0) return false;
  size_t rest = rewrite.offset + kFilePortChars;
  std::memmove(text + rest + kGrowth, text + rest, (length - rest + 1) * sizeof(wchar_t));
  std::wmemcpy(text + rewrite.offset, kProductPortText, kProductPortChars);
  return true;
}

void ForgetPortRewrites() {
  RewriteTable& table = Table();
  if (table.items) Os().GlobalFree(table.items);
  table = RewriteTable{};
}

bool BeginPortRewrites(PRINTER_INFO_2W** list, size_t capacity) {
  ForgetPortRewrites();
  if (!list || capacity == 0) return false;
  auto* items = static_cast<RememberedRewrite*>(
      Os().GlobalAlloc(GPTR, capacity * sizeof(RememberedRewrite)));
  if (!items) return false;
  RewriteTable& table = Table();
  table.list = list;
  table.items = items;
  table.capacity = capacity;
  return true;
}

bool RememberPortRewrite(PRINTER_INFO_2W** list, const PRINTER_INFO_2W* record,
                         const PortRewrite& rewrite) {
  RewriteTable& table = Table();
  if (!list || !record || table.list != list || table.count == table.capacity) return false;
  table.items[table.count++] = {record, record->pPortName, rewrite};
  return true;
}

bool TakePortRewrite(PRINTER_INFO_2W** list, const PRINTER_INFO_2W* record, PortRewrite* rewrite) {
  RewriteTable& table = Table();
  if (!list || table.list != list) return false;
  for (size_t i = 0; i < table.count; ++i) {
    RememberedRewrite& r = table.items[i];
    if (r.record != record) continue;
    bool same = r.text != nullptr && r.text == record->pPortName;
    if (same && rewrite) *rewrite = r.rewrite;
    r.record = nullptr;  // handed back once only
    r.text = nullptr;
    return same;
  }
  return false;
}
