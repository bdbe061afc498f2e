// The PendingFileRenameOperations table on the whole-machine fake: reading
// the value, the queued deletions carried out, and a randomized comparison of
// arbitrary values with a plain reading of the same bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "files/files.h"
#include "support/fake_platform.h"
#include "support/fake_world.h"

using ::testing::ElementsAre;

namespace {

const char kValueName[] = "pendingfilerenameoperations";

std::string Multi(const std::vector<std::wstring>& strings) {
  std::wstring all;
  for (const auto& s : strings) all += s + L'\0';
  all += L'\0';
  return std::string(reinterpret_cast<const char*>(all.data()), all.size() * 2);
}

std::wstring Entry(const PendingRenameTable& table, int i) {
  return table.entries[i] ? std::wstring(table.entries[i]) : std::wstring(L"<null>");
}

// The Session Manager key of the machine, as raw bytes of the value.
void SetValue(fake::World& world, const std::string& bytes) {
  world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))][kValueName] = {
      REG_MULTI_SZ, bytes};
}
std::string ValueOf(fake::World& world) {
  fake::WorldRegValue* value = world.FindRegValue(fake::World::kSessionManagerKey, kValueName);
  return value ? value->bytes : "<absent>";
}

// Counts the global-heap blocks alive, from now on.
std::shared_ptr<int> CountLiveBlocks() {
  auto live = std::make_shared<int>(0);
  fake::Wrap<&Platform::GlobalAlloc>([live](auto& previous, UINT flags, SIZE_T bytes) {
    HGLOBAL block = previous(flags, bytes);
    if (block) ++*live;
    return block;
  });
  fake::Wrap<&Platform::GlobalFree>([live](auto& previous, HGLOBAL block) {
    if (block) --*live;
    return previous(block);
  });
  return live;
}

class PendingRenamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // An account that may read the key and set its values, nothing more.
    fake::FailWhen<&Platform::RegOpenKeyExA>(
        [](HKEY, LPCSTR, DWORD, REGSAM sam, PHKEY) { return (sam & ~(KEY_READ | KEY_SET_VALUE)) != 0; },
        ERROR_ACCESS_DENIED);
    // Paths asked about; a share may belong to a server that never answers.
    fake::Wrap<&Platform::GetFileAttributesW>([this](auto& previous, LPCWSTR path) {
      asked.push_back(path);
      return previous(path);
    });
  }
  void TearDown() override {
    ReleasePendingRenames(table);
    EXPECT_EQ(world.OpenHandles().keys, 0);
    // Nothing is queued anew.
    EXPECT_TRUE(world.bootDeletes.empty());
  }

  fake::FakePlatform os;
  fake::World world;
  PendingRenameTable table;
  std::vector<std::wstring> asked;
};

TEST_F(PendingRenamesTest, NoValueEmptyOrGrowingGivesNothingToDo) {
  const std::string grown = Multi({L"\\??\\C:\\a", L"", L"\\??\\C:\\b", L""});
  world.AddFile(L"C:\\a");
  world.AddFile(L"C:\\b");
  // No key, no value, an empty value, a value that grows between its size
  // and its bytes being read.
  for (int variant = 0; variant < 4; ++variant) {
    SCOPED_TRACE(variant);
    SetValue(world, variant == 2 ? std::string() : Multi({L"\\??\\C:\\a", L""}));
    auto& key = world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))];
    if (variant == 1) key.erase(kValueName);
    if (variant == 0) world.registry.erase(fake::World::Lower(std::string(fake::World::kSessionManagerKey)));
    if (variant == 3)
      fake::Wrap<&Platform::RegQueryValueExW>([&](auto& previous, HKEY k, LPCWSTR name,
                                                  LPDWORD reserved, LPDWORD type, LPBYTE data,
                                                  LPDWORD size) {
        LSTATUS status = previous(k, name, reserved, type, data, size);
        if (!data) SetValue(world, grown);
        return status;
      });
    std::string before = ValueOf(world);
    table = ReadPendingRenames();
    EXPECT_EQ(table.pairCount, 0);
    EXPECT_EQ(table.entries, nullptr);
    ApplyPendingDeletes(table);
    EXPECT_TRUE(world.HasFile(L"C:\\a"));
    EXPECT_EQ(ValueOf(world), variant == 3 ? grown : before);
    world.registry[fake::World::Lower(std::string(fake::World::kSessionManagerKey))];
  }
}

// Only a queued deletion (an empty destination) of a file on a local drive is
// carried out now, and exactly its pair leaves the value. A relative path
// would name a file in this program's current directory.
TEST_F(PendingRenamesTest, OnlyQueuedDeletionsOfLocalFilesAreCarriedOut) {
  const std::wstring dir = fake::World::kProductDir;
  for (const wchar_t* file : {L"C:\\a\\renamed.dll", L"D:\\plain.dll", L"C:\\a\\held.dll",
                              L"C:\\y.dll", L"lmxmon64.dll", L"\\\\server\\share\\f.dll",
                              L"UNC\\server\\share\\f.dll", L"\\\\server\\share\\g.dll",
                              L"C:\\x.dll"})
    world.AddFile(file);
  world.FindFile(L"C:\\a\\held.dll")->lockedForever = true;
  const std::vector<std::wstring> kept = {
      L"\\??\\C:\\a\\renamed.dll", L"\\??\\C:\\a\\new.dll",  // a rename: left alone
      L"\\??\\" + dir, L"",                                  // a directory
      L"\\??\\C:\\a\\missing.dll", L"",                      // gone already
      L"\\??\\C:\\a\\held.dll", L"",                         // deletion refused
      L"", L"",                                              // two empty strings: a pair
      L"lmxmon64.dll", L"",                                  // relative
      L"\\??\\UNC\\server\\share\\f.dll", L"",               // a share, NT form
      L"\\\\server\\share\\g.dll", L"",                      // a share, plain
      L"\\??\\lmxmon64.dll", L"",                            // relative behind the prefix
      L"\\??x\\C:\\x.dll", L"",                              // no prefix, no drive
  };
  std::vector<std::wstring> all = kept;
  all.insert(all.begin() + 8, {L"D:\\plain.dll", L""});  // no prefix: used unchanged
  all.insert(all.end(), {L"\\??\\C:\\y.dll", L"", L"\\??\\C:\\a\\odd.dll"});  // odd last string
  SetValue(world, Multi(all));

  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 12);
  EXPECT_EQ(Entry(table, 0), L"\\??\\C:\\a\\renamed.dll");  // stored as is
  EXPECT_EQ(Entry(table, 1), L"\\??\\C:\\a\\new.dll");
  EXPECT_EQ(Entry(table, 10), L"<null>");
  std::vector<int> flags(table.isFile, table.isFile + 24);
  EXPECT_EQ(flags, (std::vector<int>{1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0,
                                     0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
  for (const std::wstring& path : asked)
    EXPECT_TRUE(path.size() > 2 && path[1] == L':') << path;

  ApplyPendingDeletes(table);
  EXPECT_FALSE(world.HasFile(L"D:\\plain.dll"));
  EXPECT_FALSE(world.HasFile(L"C:\\y.dll"));
  for (const wchar_t* file : {L"C:\\a\\renamed.dll", L"C:\\a\\held.dll", L"lmxmon64.dll",
                              L"\\\\server\\share\\f.dll", L"UNC\\server\\share\\f.dll",
                              L"\\\\server\\share\\g.dll", L"C:\\x.dll"})
    EXPECT_TRUE(world.HasFile(file)) << file;
  // Carried out, so no longer queued: the rest, the odd last string included,
  // is as it was.
  std::vector<std::wstring> left = kept;
  left.push_back(L"\\??\\C:\\a\\odd.dll");
  EXPECT_EQ(ValueOf(world), Multi(left));
  // The component check sees only the refused deletion still waiting.
  EXPECT_EQ(table.isFile[8], 0);
  EXPECT_EQ(table.isFile[6], 1);
}

TEST_F(PendingRenamesTest, TheLastDeletionCarriedOutTakesTheValueWithIt) {
  world.AddFile(L"C:\\Windows\\System32\\lmxmon64.dll");
  SetValue(world, Multi({L"\\??\\C:\\Windows\\System32\\lmxmon64.dll", L""}));
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 1);
  ApplyPendingDeletes(table);
  EXPECT_FALSE(world.HasFile(L"C:\\Windows\\System32\\lmxmon64.dll"));
  EXPECT_EQ(ValueOf(world), "<absent>");
}

TEST_F(PendingRenamesTest, DroppingAPairKeepsEveryOtherByte) {
  // A rename of the same file, the deletion, and a tail that is neither
  // terminated nor of even length.
  std::string before = Multi({L"C:\\f.dll", L"C:\\g.dll", L"C:\\f.dll", L""});
  before.resize(before.size() - 2);  // no closing NUL
  std::string tail = std::string("\x41\x00\x42", 3);
  SetValue(world, before + tail);
  EXPECT_TRUE(DropQueuedDeletion(L"C:\\f.dll"));
  std::string deletion = Multi({L"C:\\f.dll", L""});
  deletion.resize(deletion.size() - 2);
  std::string expected = before.substr(0, before.size() - deletion.size()) + tail;
  EXPECT_EQ(ValueOf(world), expected);
  // Nothing queued for it any more, and a rename is never taken for one.
  for (const wchar_t* source : {L"C:\\f.dll", L"C:\\g.dll", L"C:\\F.DLL", L""})
    EXPECT_FALSE(DropQueuedDeletion(source)) << source;
  EXPECT_EQ(ValueOf(world), expected);
}

TEST_F(PendingRenamesTest, UnterminatedAndOddValuesStayInsideTheirBytes) {
  // No terminators at all, and an odd byte count: the last byte is no character.
  std::wstring text = L"C:\\a";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  SetValue(world, bytes + std::string("\0\0", 2) + std::string("C\0:\0\\\0b\0", 8) + "x");
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 1);
  EXPECT_EQ(Entry(table, 0), L"C:\\a");
  EXPECT_EQ(Entry(table, 1), L"C:\\b");
  for (const std::string& value : {std::string("C\0", 2), std::string("\0", 1)}) {
    ReleasePendingRenames(table);
    SetValue(world, value);  // one character without terminator; one byte
    table = ReadPendingRenames();
    EXPECT_EQ(table.pairCount, 0);
  }
}

TEST_F(PendingRenamesTest, AllocationFailuresGiveAnEmptyTableAndLeakNothing) {
  std::shared_ptr<int> live = CountLiveBlocks();
  world.AddFile(L"C:\\a");
  world.AddFile(L"C:\\c");
  SetValue(world, Multi({L"\\??\\C:\\a", L"\\??\\C:\\b", L"\\??\\C:\\c", L""}));
  // Allocations: raw data, entries, flags, then one per non-empty string.
  for (int n = 1; n <= 6; ++n) {
    fake::FailNth<&Platform::GlobalAlloc>(n, ERROR_NOT_ENOUGH_MEMORY);
    table = ReadPendingRenames();
    EXPECT_EQ(table.pairCount, 0) << n;
    EXPECT_EQ(table.entries, nullptr) << n;
    EXPECT_EQ(*live, 0) << n;
  }
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 2);
  ReleasePendingRenames(table);
  EXPECT_EQ(*live, 0);
  EXPECT_EQ(table.pairCount, 0);
}

TEST(SkipNtPrefixTest, SkipsOnlyTheWholePrefix) {
  EXPECT_STREQ(SkipNtPrefix(L"\\??\\C:\\x"), L"C:\\x");
  EXPECT_STREQ(SkipNtPrefix(L"\\??C:\\x"), L"\\??C:\\x");
  EXPECT_STREQ(SkipNtPrefix(L"\\??"), L"\\??");
  EXPECT_STREQ(SkipNtPrefix(L"\\"), L"\\");
  EXPECT_STREQ(SkipNtPrefix(L""), L"");
  EXPECT_STREQ(SkipNtPrefix(L"\\??\\"), L"");
  EXPECT_EQ(SkipNtPrefix(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Randomized: arbitrary bytes as the value, read from the very end of a
// block that is followed by an inaccessible page.

// A block whose last byte is the last byte before a PAGE_NOACCESS page.
class GuardedBlock {
 public:
  explicit GuardedBlock(size_t maxBytes) {
    page_ = 4096;
    dataPages_ = (maxBytes + page_ - 1) / page_ + 1;
    base_ = static_cast<BYTE*>(
        ::VirtualAlloc(nullptr, (dataPages_ + 1) * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(base_ + dataPages_ * page_, page_, PAGE_NOACCESS, &old);
  }
  ~GuardedBlock() { ::VirtualFree(base_, 0, MEM_RELEASE); }
  BYTE* Place(size_t bytes) {
    BYTE* start = base_ + dataPages_ * page_ - bytes;
    std::memset(start, 0, bytes);
    return start;
  }
  bool Owns(const void* p) const {
    return p >= base_ && p < base_ + (dataPages_ + 1) * page_;
  }

 private:
  size_t page_;
  size_t dataPages_;
  BYTE* base_;
};

// The value read plainly: characters split at NULs, the string that would
// start at the list's closing NUL not taken.
std::vector<std::wstring> ReferenceStrings(const std::string& bytes) {
  std::wstring chars(bytes.size() / 2, L'\0');
  std::memcpy(&chars[0], bytes.data(), chars.size() * 2);
  size_t limit = bytes.size() >= 4 ? (bytes.size() - 2) / 2 : 0;
  std::vector<std::wstring> strings;
  size_t position = 0;
  while (position < limit) {
    size_t end = chars.find(L'\0', position);
    if (end == std::wstring::npos) end = chars.size();
    strings.push_back(chars.substr(position, end - position));
    position = end + 1;
  }
  return strings;
}

// The path that is tested and deleted, or "" when the entry names none: only
// paths on a local drive, never a relative one or one on a share.
std::wstring ReferencePath(const std::wstring& entry) {
  std::wstring path = entry.compare(0, 4, L"\\??\\") == 0 ? entry.substr(4) : entry;
  bool drive = path.size() >= 3 && iswalpha(path[0]) && path[0] < 128 && path[1] == L':' &&
               path[2] == L'\\';
  return drive ? path : L"";
}

// The source of the queued deletion whose cut turns `before` into `after`
// (its two strings and their terminators gone, every other byte as it was),
// or "<none>". `after` is empty when the value was deleted: then nothing but
// that pair may have been left.
std::wstring CutPair(const std::string& before, const std::string& after, bool deleted) {
  std::wstring chars(before.size() / 2, L'\0');
  std::memcpy(&chars[0], before.data(), chars.size() * 2);
  size_t limit = before.size() >= 4 ? (before.size() - 2) / 2 : 0;
  std::vector<size_t> starts;
  size_t position = 0;
  while (position < limit) {
    starts.push_back(position);
    size_t end = chars.find(L'\0', position);
    position = (end == std::wstring::npos ? chars.size() : end) + 1;
  }
  starts.push_back(position);
  for (size_t k = 0; k + 2 < starts.size(); k += 2) {
    size_t from = starts[k], to = std::min(starts[k + 2], chars.size());
    if (starts[k + 2] - starts[k + 1] != 1) continue;  // a rename, not a deletion
    std::string rest = before.substr(0, from * 2) + before.substr(to * 2);
    bool match = deleted ? ReferenceStrings(rest).empty() : rest == after;
    if (match) return chars.substr(from, starts[k + 1] - 1 - from);
  }
  return L"<none>";
}

// Whether the fake disk holds a file at `path`: decided by the path alone.
DWORD AttributesOf(const std::wstring& path) {
  size_t h = std::hash<std::wstring>()(path);
  switch (h % 3) {
    case 0: return FILE_ATTRIBUTE_ARCHIVE;
    case 1: return FILE_ATTRIBUTE_DIRECTORY;
    default: return INVALID_FILE_ATTRIBUTES;
  }
}

std::string RandomValue(std::mt19937& random) {
  static const wchar_t* const kPieces[] = {
      L"\\??\\", L"C:\\", L"UNC\\", L"\\\\", L"x", L"dir\\", L"lmxmon64.dll", L"\\??", L":",
      L"\xD800", L"\xFFFF", L"\\??\\UNC\\srv\\", L"\\\\srv\\C:\\"};
  std::string bytes;
  std::uniform_int_distribution<int> length(0, random() % 8 == 0 ? 4000 : 120);
  int pieces = length(random);
  for (int i = 0; i < pieces; ++i) {
    std::wstring piece;
    switch (random() % 5) {
      case 0: piece = std::wstring(1, L'\0'); break;
      case 1: piece = std::wstring(1, static_cast<wchar_t>(random() & 0xFFFF)); break;
      default: piece = kPieces[random() % (sizeof(kPieces) / sizeof(kPieces[0]))]; break;
    }
    bytes.append(reinterpret_cast<const char*>(piece.data()), piece.size() * 2);
  }
  if (random() % 2) bytes.append(std::string(random() % 3 ? 2 : 4, '\0'));  // list ends
  if (random() % 4 == 0) bytes.push_back(static_cast<char>(random()));      // odd byte count
  if (random() % 16 == 0) bytes.resize(random() % 4);                       // almost nothing
  return bytes;
}

TEST(PendingRenamesRandomTest, ArbitraryValuesMatchAPlainReadingAndStayInBounds) {
  fake::FakePlatform os;
  fake::World world;
  GuardedBlock guard(100000);
  std::mt19937 random(20701213);
  std::string value;
  auto guardNext = std::make_shared<bool>(false);
  auto live = std::make_shared<int>(0);

  fake::Wrap<&Platform::RegQueryValueExW>([guardNext](auto& previous, HKEY key, LPCWSTR name,
                                                      LPDWORD reserved, LPDWORD type, LPBYTE data,
                                                      LPDWORD size) {
    LSTATUS status = previous(key, name, reserved, type, data, size);
    // The next allocation receives the value.
    if (status == ERROR_SUCCESS && !data && size) *guardNext = *size > 0;
    return status;
  });
  fake::Wrap<&Platform::GlobalAlloc>([&, guardNext, live](auto& previous, UINT flags,
                                                          SIZE_T bytes) -> HGLOBAL {
    if (*guardNext) {
      *guardNext = false;
      EXPECT_EQ(bytes, ValueOf(world).size());
      ++*live;
      return guard.Place(bytes);
    }
    HGLOBAL block = previous(flags, bytes);
    if (block) ++*live;
    return block;
  });
  fake::Wrap<&Platform::GlobalFree>([&, live](auto& previous, HGLOBAL block) -> HGLOBAL {
    if (block) --*live;
    return guard.Owns(block) ? nullptr : previous(block);
  });
  // Every write of the value drops one queued deletion that was carried out.
  std::vector<std::wstring> dropped;
  fake::Wrap<&Platform::RegSetValueExW>([&](auto& previous, HKEY key, LPCWSTR name,
                                            DWORD reserved, DWORD type, const BYTE* data,
                                            DWORD bytes) {
    dropped.push_back(CutPair(ValueOf(world), std::string(reinterpret_cast<const char*>(data), bytes), false));
    return previous(key, name, reserved, type, data, bytes);
  });
  fake::Wrap<&Platform::RegDeleteValueA>([&](auto& previous, HKEY key, LPCSTR name) {
    dropped.push_back(CutPair(ValueOf(world), std::string(), true));
    return previous(key, name);
  });
  // Whether a file stands at a path is decided by the path's text alone.
  std::vector<std::wstring> deleted;
  std::vector<std::wstring> tested;
  fake::Wrap<&Platform::GetFileAttributesW>([&](auto&, LPCWSTR path) -> DWORD {
    tested.push_back(path);
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return attributes;
  });
  fake::Wrap<&Platform::DeleteFileW>([&](auto&, LPCWSTR path) -> BOOL {
    deleted.push_back(path);
    return TRUE;
  });

  int tables = 0, networkEntries = 0;
  for (int round = 0; round < 4000; ++round) {
    value = RandomValue(random);
    SetValue(world, value);
    SCOPED_TRACE(round);
    tested.clear();
    PendingRenameTable table = ReadPendingRenames();

    std::vector<std::wstring> strings = value.empty() ? std::vector<std::wstring>()
                                                      : ReferenceStrings(value);
    const size_t pairs = strings.size() / 2;
    ASSERT_EQ(table.pairCount, static_cast<int32_t>(pairs));
    std::vector<std::wstring> expectDeleted;
    for (size_t i = 0; i < 2 * pairs; ++i) {
      if (strings[i].empty()) {
        ASSERT_EQ(table.entries[i], nullptr) << i;
        ASSERT_EQ(table.isFile[i], 0) << i;
        continue;
      }
      ASSERT_NE(table.entries[i], nullptr) << i;
      ASSERT_EQ(std::wstring(table.entries[i]), strings[i]) << i;
      std::wstring path = ReferencePath(strings[i]);
      if (strings[i].compare(0, 8, L"\\??\\UNC\\") == 0) ++networkEntries;
      int expectFile = !path.empty() && AttributesOf(path) == FILE_ATTRIBUTE_ARCHIVE;
      ASSERT_EQ(table.isFile[i], expectFile) << i;
      if (i % 2 == 0 && expectFile && strings[i + 1].empty()) expectDeleted.push_back(path);
    }
    deleted.clear();
    dropped.clear();
    ApplyPendingDeletes(table);
    ASSERT_EQ(deleted, expectDeleted);
    // Nothing on a share was asked about, deleted or dropped from the value:
    // each deletion carried out took exactly its own pair with it.
    for (const std::wstring& path : tested) ASSERT_NE(path.compare(0, 2, L"\\\\"), 0) << path;
    ASSERT_EQ(dropped.size(), expectDeleted.size());
    for (size_t d = 0; d < dropped.size(); ++d) ASSERT_EQ(ReferencePath(dropped[d]), deleted[d]);
    for (size_t i = 0; i < 2 * pairs; i += 2)
      if (!strings[i].empty() && strings[i + 1].empty()) {
        ASSERT_EQ(table.isFile[i], 0);
      }
    if (pairs) ++tables;
    ReleasePendingRenames(table);
    ASSERT_EQ(*live, 0);
    ASSERT_EQ(world.OpenHandles().keys, 0);
  }
  // The generator reaches both empty and filled tables, and entries on shares.
  EXPECT_GT(tables, 1000);
  EXPECT_LT(tables, 4000);
  EXPECT_GT(networkEntries, 100);
}

}  // namespace
