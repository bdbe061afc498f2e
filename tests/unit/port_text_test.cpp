#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "monitor/port_text.h"
#include "support/fake_platform.h"

namespace {

// A text whose terminator is the last character before an inaccessible page:
// any write (or read) past the text's own storage faults at once. The
// character before the text is a canary that must stay untouched.
class GuardedText {
 public:
  explicit GuardedText(const std::wstring& text) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<BYTE*>(
        ::VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    text_ = reinterpret_cast<wchar_t*>(base_ + page_) - (text.size() + 1);
    text_[-1] = kCanary;
    std::memcpy(text_, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }
  ~GuardedText() { ::VirtualFree(base_, 0, MEM_RELEASE); }
  wchar_t* get() { return text_; }
  bool CanaryIntact() const { return text_[-1] == kCanary; }

 private:
  static constexpr wchar_t kCanary = 0xA5A5;
  DWORD page_ = 0;
  BYTE* base_ = nullptr;
  wchar_t* text_ = nullptr;
};

struct Case {
  const wchar_t* original;
  const wchar_t* redirected;  // null: no "Loomscribe:" in it
  size_t offset;
};

TEST(PortTextTest, RedirectReplacesEveryOccurrenceAndRestoreGivesTheOriginalBack) {
  fake::FakePlatform os;
  const Case cases[] = {
      {L"Loomscribe:", L"file:", 0},
      {L"LPT1:,Loomscribe:", L"LPT1:,file:", 6},
      {L"Loomscribe:,LPT1:", L"file:,LPT1:", 0},
      {L"Loomscribe:,Loomscribe:", L"file:,file:", 0},
      {L"LPT1:,Loomscribe:,COM1:,Loomscribe:", L"LPT1:,file:,COM1:,file:", 6},
      {L"file:,Loomscribe:", L"file:,file:", 6},
      {L"file:,Loomscribe:,file:", L"file:,file:,file:", 6},
      {L"LoomscribeLoomscribe:", L"Loomscribefile:", 10},
      {L"loomscribe:", nullptr, 0},
      {L"Loomscribe", nullptr, 0},
      {L"", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.original, c.original + wcslen(c.original)));
    GuardedText text(c.original);
    PortRewrite rewrite = {99, 99, nullptr, 0, {}};
    bool redirected = RedirectPortText(text.get(), &rewrite);
    ASSERT_EQ(redirected, c.redirected != nullptr);
    if (!redirected) {
      EXPECT_EQ(std::wstring(text.get()), std::wstring(c.original));
      continue;
    }
    EXPECT_EQ(std::wstring(text.get()), std::wstring(c.redirected));
    EXPECT_EQ(rewrite.offset, c.offset);
    EXPECT_EQ(rewrite.capacity, wcslen(c.original) + 1);

    ASSERT_TRUE(RestorePortText(text.get(), rewrite));
    EXPECT_EQ(std::wstring(text.get()), std::wstring(c.original));
    // Given back once: a second restore finds no room and changes nothing.
    EXPECT_FALSE(RestorePortText(text.get(), rewrite));
    EXPECT_EQ(std::wstring(text.get()), std::wstring(c.original));
    EXPECT_TRUE(text.CanaryIntact());
  }
}

TEST(PortTextTest, RestoreNeverGrowsPastTheOriginalStorage) {
  fake::FakePlatform os;
  // The text was redirected, then something else wrote a longer text with
  // "file:" at the place: no room for six more characters.
  GuardedText text(L"Loomscribe:");
  PortRewrite rewrite = {};
  ASSERT_TRUE(RedirectPortText(text.get(), &rewrite));
  std::wmemcpy(text.get(), L"file:xxxxx", 11);  // 10 characters and NUL: one short of 11
  EXPECT_FALSE(RestorePortText(text.get(), rewrite));
  EXPECT_EQ(std::wstring(text.get()), L"file:xxxxx");

  // A rewrite record that claims more room than the text had is bounded by
  // the terminator search, which stops at the stated capacity.
  GuardedText exact(L"file:");
  PortRewrite wrongPlace = {1, 12, nullptr, 0, {}};
  EXPECT_FALSE(RestorePortText(exact.get(), wrongPlace));  // no "file:" at offset 1
  PortRewrite noTerminator = {0, 3, nullptr, 0, {}};
  EXPECT_FALSE(RestorePortText(exact.get(), noTerminator));
  EXPECT_EQ(std::wstring(exact.get()), L"file:");
  EXPECT_TRUE(exact.CanaryIntact());

  // "file:" moved elsewhere (the restore does not search for it).
  GuardedText moved(L"LPT1:,Loomscribe:");
  ASSERT_TRUE(RedirectPortText(moved.get(), &rewrite));
  std::wmemcpy(moved.get(), L"file:,LPT1:", 12);
  EXPECT_FALSE(RestorePortText(moved.get(), rewrite));
  EXPECT_EQ(std::wstring(moved.get()), L"file:,LPT1:");
}

}  // namespace
