// The record of the kept previous installation as the journal key holds it,
// little-endian: u32 layout (1), u32 flags (1 a driver is kept, 2 a monitor),
// u32 the driver's version, u64 its date, u64 its version number, then the
// texts (each a u32 count of UTF-16 units and the units; the lists with their
// NULs), then u32 the number of files and per file u32 role, u32 present,
// u64 size, 32 bytes of SHA-256 and its name as a text.
#include <cstring>
#include <cwchar>

#include "previous/previous.h"

namespace {

constexpr uint32_t kLayout = 1;
constexpr uint32_t kFlagDriver = 1;
constexpr uint32_t kFlagMonitor = 2;

struct Text {
  wchar_t* chars;
  size_t capacity;
  bool list;  // NUL-separated, NUL-NUL-ended
};

// Every text of the record, in the record's order.
template <class Visit>
void ForEachText(PreviousInstallation& p, Visit visit) {
  visit(Text{p.driverName, kKeptTextChars, false});
  visit(Text{p.driverFile, MAX_PATH, false});
  visit(Text{p.dataFile, MAX_PATH, false});
  visit(Text{p.configFile, MAX_PATH, false});
  visit(Text{p.helpFile, MAX_PATH, false});
  visit(Text{p.dependentFiles, kKeptListChars, true});
  visit(Text{p.languageMonitor, kKeptTextChars, false});
  visit(Text{p.defaultDataType, kKeptTextChars, false});
  visit(Text{p.previousNames, kKeptListChars, true});
  visit(Text{p.maker, kKeptTextChars, false});
  visit(Text{p.makerUrl, kKeptTextChars, false});
  visit(Text{p.hardwareId, kKeptTextChars, false});
  visit(Text{p.provider, kKeptTextChars, false});
  visit(Text{p.monitorName, kKeptTextChars, false});
  visit(Text{p.monitorLibrary, MAX_PATH, false});
}

// The units of a text, its list NULs and the list's final NUL included.
size_t Units(const wchar_t* text, bool list) {
  if (!list) return std::wcslen(text);
  size_t n = 0;
  while (text[n]) n += std::wcslen(text + n) + 1;
  return n + 1;
}

class Writer {
 public:
  explicit Writer(BYTE* out) : out_(out) {}
  void Bytes(const void* data, size_t count) {
    if (out_) std::memcpy(out_ + size_, data, count);
    size_ += count;
  }
  void U32(uint32_t v) { Bytes(&v, 4); }
  void U64(uint64_t v) { Bytes(&v, 8); }
  void Units(const wchar_t* text, size_t count) {
    U32(static_cast<uint32_t>(count));
    Bytes(text, count * sizeof(wchar_t));
  }
  size_t size() const { return size_; }

 private:
  BYTE* out_;
  size_t size_ = 0;
};

class Reader {
 public:
  Reader(const BYTE* data, size_t bytes) : data_(data), left_(bytes) {}
  bool Bytes(void* out, size_t count) {
    if (count > left_) return ok_ = false;
    std::memcpy(out, data_, count);
    data_ += count;
    left_ -= count;
    return true;
  }
  uint32_t U32() {
    uint32_t v = 0;
    Bytes(&v, 4);
    return v;
  }
  uint64_t U64() {
    uint64_t v = 0;
    Bytes(&v, 8);
    return v;
  }
  // A text that fits with its terminator; a list is names, each with its
  // NUL, and one more NUL.
  void Into(wchar_t* out, size_t capacity, bool list) {
    uint32_t count = U32();
    // Room for two NULs after the units: a list that lacks its own is
    // still read within the field.
    if (!ok_ || count + 2 > capacity || !Bytes(out, count * sizeof(wchar_t))) {
      ok_ = false;
      return;
    }
    out[count] = L'\0';
    out[count + 1] = L'\0';
    if (list) {
      if (Units(out, true) != count) ok_ = false;
    } else if (std::wcslen(out) != count) {
      ok_ = false;
    }
  }
  bool ok() const { return ok_ && left_ == 0; }
  bool good() const { return ok_; }

 private:
  const BYTE* data_;
  size_t left_;
  bool ok_ = true;
};

}  // namespace

size_t SerializePrevious(const PreviousInstallation& previous, BYTE* out) {
  Writer w(out);
  w.U32(kLayout);
  w.U32((previous.hasDriver ? kFlagDriver : 0) | (previous.hasMonitor ? kFlagMonitor : 0));
  w.U32(previous.driverVersion);
  w.U64((uint64_t{previous.driverDate.dwHighDateTime} << 32) | previous.driverDate.dwLowDateTime);
  w.U64(previous.driverVersionNumber);
  // Only read here.
  ForEachText(const_cast<PreviousInstallation&>(previous),
              [&w](const Text& t) { w.Units(t.chars, Units(t.chars, t.list)); });
  uint32_t count = previous.fileCount < kMaxKeptFiles ? previous.fileCount : kMaxKeptFiles;
  w.U32(count);
  for (uint32_t i = 0; i < count; ++i) {
    const KeptFile& f = previous.files[i];
    w.U32(f.role);
    w.U32(f.present);
    w.U64(f.size);
    w.Bytes(f.sha256, sizeof f.sha256);
    w.Units(f.name, std::wcslen(f.name));
  }
  return w.size();
}

bool ParsePrevious(PreviousInstallation& previous, const BYTE* data, size_t bytes) {
  previous = PreviousInstallation{};
  Reader r(data, bytes);
  if (r.U32() != kLayout) return false;
  uint32_t flags = r.U32();
  previous.hasDriver = (flags & kFlagDriver) ? 1 : 0;
  previous.hasMonitor = (flags & kFlagMonitor) ? 1 : 0;
  previous.driverVersion = r.U32();
  uint64_t date = r.U64();
  previous.driverDate.dwLowDateTime = static_cast<DWORD>(date);
  previous.driverDate.dwHighDateTime = static_cast<DWORD>(date >> 32);
  previous.driverVersionNumber = r.U64();
  ForEachText(previous, [&r](const Text& t) { r.Into(t.chars, t.capacity, t.list); });
  uint32_t count = r.U32();
  if (!r.good() || count > kMaxKeptFiles) return false;
  for (uint32_t i = 0; i < count; ++i) {
    KeptFile& f = previous.files[i];
    f.role = r.U32();
    f.present = r.U32();
    f.size = r.U64();
    r.Bytes(f.sha256, sizeof f.sha256);
    r.Into(f.name, MAX_PATH, false);
    // A kept file's name is a bare name: it is joined to folders.
    if (!f.name[0] || std::wcspbrk(f.name, L"\\/:") || std::wcscmp(f.name, L"..") == 0 ||
        (f.role != kKeptDriverFile && f.role != kKeptMonitorLibrary))
      return false;
  }
  previous.fileCount = count;
  if (!r.ok()) {
    previous = PreviousInstallation{};
    return false;
  }
  return true;
}
