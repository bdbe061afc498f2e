#include "monitor/port_text.h"

#include <cstring>
#include <cwchar>

#include "product.h"

namespace {

constexpr size_t kProductPortChars = sizeof kProductPort / sizeof *kProductPort - 1;
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

}  // namespace

size_t BoundedLength(const wchar_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != L'\0') ++n;
  return n;
}

bool RedirectPortText(wchar_t* text, PortRewrite* rewrite) {
  if (!text) return false;
  size_t length = std::wcslen(text);
  const size_t capacity = length + 1;
  size_t offsets[kMaxPortRewrites];
  size_t count = 0;
  size_t from = 0;
  while (count < kMaxPortRewrites) {
    size_t at = from + FindWithin(text + from, length - from, kProductPort, kProductPortChars);
    if (at == length) break;
    // "file:" over the start of the occurrence, then the rest (terminator
    // included) right behind it. The text only shrinks.
    std::wmemcpy(text + at, kFilePortText, kFilePortChars);
    size_t rest = at + kProductPortChars;
    std::memmove(text + at + kFilePortChars, text + rest, (length - rest + 1) * sizeof(wchar_t));
    length -= kGrowth;
    offsets[count++] = at;
    from = at + kFilePortChars;
  }
  if (count == 0) return false;
  if (rewrite) {
    rewrite->offset = offsets[0];
    rewrite->capacity = capacity;
    rewrite->text = text;
    rewrite->count = count;
    for (size_t k = 1; k < count; ++k) rewrite->later[k - 1] = offsets[k];
  }
  return true;
}

bool RestorePortText(wchar_t* text, const PortRewrite& rewrite) {
  if (!text || rewrite.capacity == 0) return false;
  size_t count = rewrite.count == 0 ? 1 : rewrite.count;
  if (count > kMaxPortRewrites) return false;
  auto offsetOf = [&rewrite](size_t k) { return k == 0 ? rewrite.offset : rewrite.later[k - 1]; };
  // The present length, looked for only within the storage the text had.
  size_t length = BoundedLength(text, rewrite.capacity);
  if (length == rewrite.capacity) return false;                      // no terminator within it
  if (length + count * kGrowth + 1 > rewrite.capacity) return false;  // would not fit
  for (size_t k = 0; k < count; ++k) {
    size_t at = offsetOf(k);
    if (at + kFilePortChars > length) return false;
    if (std::wmemcmp(text + at, kFilePortText, kFilePortChars) != 0) return false;
  }
  // From the last place to the first, so that the earlier places stay put.
  for (size_t k = count; k-- > 0;) {
    size_t at = offsetOf(k);
    size_t rest = at + kFilePortChars;
    std::memmove(text + rest + kGrowth, text + rest, (length - rest + 1) * sizeof(wchar_t));
    std::wmemcpy(text + at, kProductPort, kProductPortChars);
    length += kGrowth;
  }
  return true;
}
