// The PendingFileRenameOperations table: reading the value through the fake
// registry, the queued deletions carried out, and a randomized comparison of
// arbitrary values with a plain reading of the same bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "files/files.h"
#include "support/fake_platform.h"

using ::testing::ElementsAre;

namespace {

const HKEY kSessionManager = reinterpret_cast<HKEY>(0x5150);

std::string Multi(const std::vector<std::wstring>& strings) {
  std::wstring all;
  for (const auto& s : strings) all += s + L'\0';
  all += L'\0';
  return std::string(reinterpret_cast<const char*>(all.data()), all.size() * 2);
}

// A registry that holds `value` (raw bytes) as PendingFileRenameOperations.
struct FakeRegistry {
  bool keyExists = true;
  bool valueExists = true;
  std::string value;
  std::string growTo;  // the value after the first size query, when set
  int closes = 0;
  int writableOpens = 0;
  std::vector<std::string> written;  // every value written back

  void Install() {
    fake::Set<&Platform::RegOpenKeyExA>([this](HKEY root, LPCSTR name, DWORD options, REGSAM sam,
                                               PHKEY key) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_STREQ(name, "SYSTEM\\CurrentControlSet\\Control\\Session Manager");
      EXPECT_EQ(options, 0u);
      // Read-only, except to drop a deletion that was carried out.
      EXPECT_TRUE(sam == static_cast<REGSAM>(0x20019) || sam == (0x20019 | KEY_SET_VALUE)) << sam;
      if (sam != static_cast<REGSAM>(0x20019)) ++writableOpens;
      if (!keyExists) return ERROR_FILE_NOT_FOUND;
      *key = kSessionManager;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegQueryValueExW>([this](HKEY key, LPCWSTR name, LPDWORD reserved,
                                                  LPDWORD type, LPBYTE data,
                                                  LPDWORD size) -> LSTATUS {
      EXPECT_EQ(key, kSessionManager);
      EXPECT_STREQ(name, L"PendingFileRenameOperations");
      EXPECT_EQ(reserved, nullptr);
      if (!valueExists) return ERROR_FILE_NOT_FOUND;
      if (type) *type = REG_MULTI_SZ;
      DWORD bytes = static_cast<DWORD>(value.size());
      if (!data) {
        *size = bytes;
        if (!growTo.empty()) value = growTo;
        return ERROR_SUCCESS;
      }
      if (*size < bytes) {
        *size = bytes;
        return ERROR_MORE_DATA;
      }
      std::memcpy(data, value.data(), bytes);
      *size = bytes;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegCloseKey>([this](HKEY key) -> LSTATUS {
      EXPECT_EQ(key, kSessionManager);
      ++closes;
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegSetValueExW>([this](HKEY key, LPCWSTR name, DWORD, DWORD type,
                                                const BYTE* data, DWORD bytes) -> LSTATUS {
      EXPECT_EQ(key, kSessionManager);
      EXPECT_STREQ(name, L"PendingFileRenameOperations");
      EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
      value.assign(reinterpret_cast<const char*>(data), bytes);
      written.push_back(value);
      return ERROR_SUCCESS;
    });
    fake::Set<&Platform::RegDeleteValueA>([this](HKEY key, LPCSTR name) -> LSTATUS {
      EXPECT_EQ(key, kSessionManager);
      EXPECT_STREQ(name, "PendingFileRenameOperations");
      valueExists = false;
      written.push_back("<deleted>");
      return ERROR_SUCCESS;
    });
  }
};

// Files and directories by path; deletions recorded.
struct FakeDisk {
  std::set<std::wstring> files;
  std::set<std::wstring> directories;
  std::set<std::wstring> undeletable;
  std::vector<std::wstring> tested;
  std::vector<std::wstring> deleted;

  void Install() {
    fake::Set<&Platform::GetFileAttributesW>([this](LPCWSTR path) -> DWORD {
      tested.push_back(path);
      if (files.count(path)) return FILE_ATTRIBUTE_ARCHIVE;
      if (directories.count(path)) return FILE_ATTRIBUTE_DIRECTORY;
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_FILE_ATTRIBUTES;
    });
    fake::Set<&Platform::DeleteFileW>([this](LPCWSTR path) -> BOOL {
      deleted.push_back(path);
      if (undeletable.count(path) || !files.count(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      files.erase(path);
      return TRUE;
    });
  }
};

std::wstring Entry(const PendingRenameTable& table, int i) {
  return table.entries[i] ? std::wstring(table.entries[i]) : std::wstring(L"<null>");
}

class PendingRenamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Install();
    disk.Install();
  }
  void TearDown() override {
    table = PendingRenameTable();
    // Nothing is queued; the value is written only to drop what was done.
    EXPECT_EQ(fake::CountCalls("MoveFileExW"), 0);
  }

  fake::FakePlatform os;
  FakeRegistry registry;
  FakeDisk disk;
  PendingRenameTable table;
};

TEST_F(PendingRenamesTest, MissingKeyOrValueGivesAnEmptyTable) {
  registry.keyExists = false;
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(fake::CountCalls("RegQueryValueExW"), 0);

  registry.keyExists = true;
  registry.valueExists = false;
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(table.entries.get(), nullptr);
  EXPECT_EQ(registry.closes, 1);

  registry.valueExists = true;
  registry.value.clear();  // present but empty
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(registry.closes, 2);
  ApplyPendingDeletes(table);
  EXPECT_TRUE(disk.deleted.empty());
}

TEST_F(PendingRenamesTest, QueuedDeletionOfAnExistingFileIsCarriedOut) {
  disk.files = {L"C:\\Windows\\System32\\lmxmon64.dll"};
  registry.value = Multi({L"\\??\\C:\\Windows\\System32\\lmxmon64.dll", L""});
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 1);
  EXPECT_EQ(Entry(table, 0), L"\\??\\C:\\Windows\\System32\\lmxmon64.dll");  // stored as is
  EXPECT_EQ(table.entries[1], nullptr);
  EXPECT_EQ(table.isFile.get()[0], 1);
  EXPECT_EQ(table.isFile.get()[1], 0);
  EXPECT_THAT(disk.tested, ElementsAre(L"C:\\Windows\\System32\\lmxmon64.dll"));
  EXPECT_EQ(registry.closes, 1);

  ApplyPendingDeletes(table);
  EXPECT_THAT(disk.deleted, ElementsAre(L"C:\\Windows\\System32\\lmxmon64.dll"));
  EXPECT_EQ(table.isFile.get()[0], 0);
  // Carried out now, so not queued any more: the only pair goes, and with it
  // the value.
  EXPECT_THAT(registry.written, ElementsAre("<deleted>"));
  EXPECT_EQ(registry.closes, 2);
}

TEST_F(PendingRenamesTest, OnlyQueuedDeletionsOfFilesAreCarriedOut) {
  disk.files = {L"C:\\a\\renamed.dll", L"D:\\plain.dll", L"C:\\a\\held.dll"};
  disk.directories = {L"C:\\a\\dir"};
  disk.undeletable = {L"C:\\a\\held.dll"};
  registry.value = Multi({
      L"\\??\\C:\\a\\renamed.dll", L"\\??\\C:\\a\\new.dll",  // a rename: left alone
      L"\\??\\C:\\a\\dir", L"",                              // a directory
      L"\\??\\C:\\a\\missing.dll", L"",                      // gone already
      L"D:\\plain.dll", L"",                                 // no prefix: used unchanged
      L"\\??\\C:\\a\\held.dll", L"",                         // deletion refused
      L"\\??\\C:\\a\\odd.dll",                               // odd last string: dropped
  });
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 5);
  EXPECT_EQ(Entry(table, 1), L"\\??\\C:\\a\\new.dll");
  std::vector<int> flags(table.isFile.get(), table.isFile.get() + 10);
  EXPECT_THAT(flags, ElementsAre(1, 0, 0, 0, 0, 0, 1, 0, 1, 0));
  ApplyPendingDeletes(table);
  EXPECT_THAT(disk.deleted, ElementsAre(L"D:\\plain.dll", L"C:\\a\\held.dll"));
  flags.assign(table.isFile.get(), table.isFile.get() + 10);
  EXPECT_THAT(flags, ElementsAre(1, 0, 0, 0, 0, 0, 0, 0, 1, 0));
  EXPECT_TRUE(disk.files.count(L"C:\\a\\renamed.dll"));
  // Exactly the deletion that was done left the queue; the rest (the odd
  // last string included) is as it was.
  EXPECT_THAT(registry.written,
              ElementsAre(Multi({L"\\??\\C:\\a\\renamed.dll", L"\\??\\C:\\a\\new.dll",
                                 L"\\??\\C:\\a\\dir", L"", L"\\??\\C:\\a\\missing.dll", L"",
                                 L"\\??\\C:\\a\\held.dll", L"", L"\\??\\C:\\a\\odd.dll"})));
}

TEST_F(PendingRenamesTest, DroppingAPairKeepsEveryOtherByte) {
  // A rename of the same file, the deletion, and a tail that is neither
  // terminated nor of even length.
  std::string before = Multi({L"C:\\f.dll", L"C:\\g.dll", L"C:\\f.dll", L""});
  before.resize(before.size() - 2);  // no closing NUL
  std::string tail = std::string("\x41\x00\x42", 3);
  registry.value = before + tail;
  EXPECT_TRUE(DropQueuedDeletion(L"C:\\f.dll"));
  std::string deletion = Multi({L"C:\\f.dll", L""});
  deletion.resize(deletion.size() - 2);
  std::string expected = before.substr(0, before.size() - deletion.size()) + tail;
  ASSERT_EQ(registry.written.size(), 1u);
  EXPECT_EQ(registry.written[0], expected);
  // Nothing queued for it any more, and a rename is never taken for one.
  EXPECT_FALSE(DropQueuedDeletion(L"C:\\f.dll"));
  EXPECT_FALSE(DropQueuedDeletion(L"C:\\g.dll"));
  EXPECT_FALSE(DropQueuedDeletion(L"C:\\F.DLL"));
  EXPECT_FALSE(DropQueuedDeletion(L""));
  EXPECT_EQ(registry.written.size(), 1u);
}

TEST_F(PendingRenamesTest, RelativeAndNetworkPathsAreNeverTestedOrDeleted) {
  disk.files = {L"lmxmon64.dll", L"\\\\server\\share\\f.dll", L"UNC\\server\\share\\f.dll",
                L"\\\\server\\share\\g.dll", L"C:\\x.dll", L"C:\\y.dll"};
  const std::vector<std::wstring> strings = {
      L"lmxmon64.dll", L"",                      // relative
      L"\\??\\UNC\\server\\share\\f.dll", L"",  // a share, NT form
      L"\\\\server\\share\\g.dll", L"",           // a share, plain
      L"\\??\\lmxmon64.dll", L"",                 // relative behind the prefix
      L"\\??x\\C:\\x.dll", L"",                   // no prefix, no drive
      L"\\??\\C:\\y.dll", L""};                   // the one that is carried out
  registry.value = Multi(strings);
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 6);
  std::vector<int> flags(table.isFile.get(), table.isFile.get() + 12);
  // A relative path would name a file in this program's current directory;
  // a share may belong to a server that never answers.
  EXPECT_EQ(flags, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_THAT(disk.tested, ElementsAre(L"C:\\y.dll"));
  ApplyPendingDeletes(table);
  EXPECT_THAT(disk.deleted, ElementsAre(L"C:\\y.dll"));
  std::vector<std::wstring> left(strings.begin(), strings.end() - 2);
  EXPECT_THAT(registry.written, ElementsAre(Multi(left)));
}

TEST_F(PendingRenamesTest, EmptyStringsInsideTheListAreTaken) {
  disk.files = {L"C:\\b.dll"};
  // Two empty strings in a row make a pair of their own.
  registry.value = Multi({L"", L"", L"\\??\\C:\\b.dll", L""});
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 2);
  EXPECT_EQ(table.entries[0], nullptr);
  EXPECT_EQ(table.entries[1], nullptr);
  EXPECT_EQ(Entry(table, 2), L"\\??\\C:\\b.dll");
  ApplyPendingDeletes(table);
  EXPECT_THAT(disk.deleted, ElementsAre(L"C:\\b.dll"));
}

TEST_F(PendingRenamesTest, ValueThatGrowsBetweenTheReadsGivesNothing) {
  registry.value = Multi({L"\\??\\C:\\a", L""});
  registry.growTo = Multi({L"\\??\\C:\\a", L"", L"\\??\\C:\\b", L""});
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  EXPECT_EQ(table.entries.get(), nullptr);
  EXPECT_EQ(registry.closes, 1);
}

TEST_F(PendingRenamesTest, UnterminatedAndOddValuesStayInsideTheirBytes) {
  disk.files = {L"C:\\a", L"C:\\b"};
  // No terminators at all, and an odd byte count: the last byte is no character.
  std::wstring text = L"C:\\a";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  registry.value = bytes + std::string("\0\0", 2) + std::string("C\0:\0\\\0b\0", 8) + "x";
  table = ReadPendingRenames();
  ASSERT_EQ(table.pairCount, 1);
  EXPECT_EQ(Entry(table, 0), L"C:\\a");
  EXPECT_EQ(Entry(table, 1), L"C:\\b");

  table = PendingRenameTable();
  registry.value = std::string("C\0", 2);  // one character, no terminator
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
  registry.value = std::string("\0", 1);
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 0);
}

TEST_F(PendingRenamesTest, AllocationFailuresGiveAnEmptyTableAndLeakNothing) {
  int live = 0;
  fake::Set<&Platform::GlobalAlloc>([&](UINT flags, SIZE_T bytes) -> HGLOBAL {
    HGLOBAL block = ::GlobalAlloc(flags, bytes);
    if (block) ++live;
    return block;
  });
  fake::Set<&Platform::GlobalFree>([&](HGLOBAL block) -> HGLOBAL {
    if (block) --live;
    return ::GlobalFree(block);
  });
  disk.files = {L"C:\\a", L"C:\\c"};
  registry.value = Multi({L"\\??\\C:\\a", L"\\??\\C:\\b", L"\\??\\C:\\c", L""});
  // Allocations: raw data, entries, flags, then one per non-empty string.
  for (int n = 1; n <= 6; ++n) {
    fake::FailNth<&Platform::GlobalAlloc>(n, ERROR_NOT_ENOUGH_MEMORY);
    table = ReadPendingRenames();
    EXPECT_EQ(table.pairCount, 0) << n;
    EXPECT_EQ(table.entries.get(), nullptr) << n;
    EXPECT_EQ(live, 0) << n;
    fake::Set<&Platform::GlobalAlloc>([&](UINT flags, SIZE_T bytes) -> HGLOBAL {
      HGLOBAL block = ::GlobalAlloc(flags, bytes);
      if (block) ++live;
      return block;
    });
  }
  table = ReadPendingRenames();
  EXPECT_EQ(table.pairCount, 2);
  table = PendingRenameTable();
  EXPECT_EQ(live, 0);
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
  GuardedBlock guard(100000);
  std::mt19937 random(20701213);
  std::string value;
  bool present = true;
  bool guardNext = false;
  int live = 0;

  fake::Set<&Platform::RegOpenKeyExA>([](HKEY, LPCSTR, DWORD, REGSAM, PHKEY key) -> LSTATUS {
    *key = kSessionManager;
    return ERROR_SUCCESS;
  });
  fake::Set<&Platform::RegCloseKey>([](HKEY) -> LSTATUS { return ERROR_SUCCESS; });
  fake::Set<&Platform::RegQueryValueExW>([&](HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE data,
                                             LPDWORD size) -> LSTATUS {
    if (!present) return ERROR_FILE_NOT_FOUND;
    DWORD bytes = static_cast<DWORD>(value.size());
    if (!data) {
      *size = bytes;
      guardNext = bytes > 0;  // the next allocation receives the value
      return ERROR_SUCCESS;
    }
    if (*size < bytes) return ERROR_MORE_DATA;
    std::memcpy(data, value.data(), bytes);
    *size = bytes;
    return ERROR_SUCCESS;
  });
  fake::Set<&Platform::GlobalAlloc>([&](UINT flags, SIZE_T bytes) -> HGLOBAL {
    if (guardNext) {
      guardNext = false;
      EXPECT_EQ(bytes, value.size());
      ++live;
      return guard.Place(bytes);
    }
    HGLOBAL block = ::GlobalAlloc(flags, bytes);
    if (block) ++live;
    return block;
  });
  fake::Set<&Platform::GlobalFree>([&](HGLOBAL block) -> HGLOBAL {
    if (block) --live;
    return guard.Owns(block) ? nullptr : ::GlobalFree(block);
  });
  // Every write of the value drops one queued deletion that was carried out.
  std::vector<std::wstring> dropped;
  fake::Set<&Platform::RegSetValueExW>([&](HKEY, LPCWSTR, DWORD, DWORD, const BYTE* data,
                                           DWORD bytes) -> LSTATUS {
    std::string after(reinterpret_cast<const char*>(data), bytes);
    dropped.push_back(CutPair(value, after, false));
    value = after;
    return ERROR_SUCCESS;
  });
  fake::Set<&Platform::RegDeleteValueA>([&](HKEY, LPCSTR) -> LSTATUS {
    dropped.push_back(CutPair(value, std::string(), true));
    present = false;
    return ERROR_SUCCESS;
  });
  std::vector<std::wstring> deleted;
  std::vector<std::wstring> tested;
  fake::Set<&Platform::GetFileAttributesW>([&](LPCWSTR path) -> DWORD {
    tested.push_back(path);
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return attributes;
  });
  fake::Set<&Platform::DeleteFileW>([&](LPCWSTR path) -> BOOL {
    deleted.push_back(path);
    return TRUE;
  });

  int tables = 0, networkEntries = 0;
  for (int round = 0; round < 4000; ++round) {
    value = RandomValue(random);
    present = true;
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
        ASSERT_EQ(table.isFile.get()[i], 0) << i;
        continue;
      }
      ASSERT_NE(table.entries[i], nullptr) << i;
      ASSERT_EQ(std::wstring(table.entries[i]), strings[i]) << i;
      std::wstring path = ReferencePath(strings[i]);
      if (strings[i].compare(0, 8, L"\\??\\UNC\\") == 0) ++networkEntries;
      int expectFile = !path.empty() && AttributesOf(path) == FILE_ATTRIBUTE_ARCHIVE;
      ASSERT_EQ(table.isFile.get()[i], expectFile) << i;
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
        ASSERT_EQ(table.isFile.get()[i], 0);
      }
    if (pairs) ++tables;
    table = PendingRenameTable();
    ASSERT_EQ(live, 0);
  }
  // The generator reaches both empty and filled tables, and entries on shares.
  EXPECT_GT(tables, 1000);
  EXPECT_LT(tables, 4000);
  EXPECT_GT(networkEntries, 100);
}

}  // namespace
