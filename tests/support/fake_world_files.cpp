// fake::World: files (open handles and their sharing, renames, boot-time
// deletes), the fixed folders and the version resources files carry.
#include "support/fake_world.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>

#include "support/fake_world_internal.h"

namespace fake {

using namespace world_internal;

namespace {

// Whether an open handle on the file refuses the given sharing (a handle
// opened without FILE_SHARE_DELETE blocks deletion, and so on).
bool OpenHandleRefuses(const std::wstring& key, DWORD share) {
  for (const auto& open : TheHandles().files)
    if (open.second.key == key && !(open.second.share & share)) return true;
  return false;
}

template <class T>
bool Erase(std::vector<T>& list, const T& value) {
  auto it = std::find(list.begin(), list.end(), value);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

void World::InstallFileHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- files -----------------------------------------------------------------
  Set<&Platform::CreateFileW>([&w, &h](LPCWSTR path, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                                       HANDLE) -> HANDLE {
    std::wstring key = FileKey(Str(path));
    bool exists = w.files.count(key) != 0;
    bool writing = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    bool reading = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool deleting = (access & DELETE) != 0;
    // Sharing both ways: the new handle must allow what the open ones do,
    // and they must allow what it asks for. A handle that asks for no access
    // at all (to read the file's identity) meets no sharing rule.
    if (exists && ((writing && OpenHandleRefuses(key, FILE_SHARE_WRITE)) ||
                   (reading && OpenHandleRefuses(key, FILE_SHARE_READ)) ||
                   (deleting && OpenHandleRefuses(key, FILE_SHARE_DELETE))))
      return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    for (const auto& open : h.files)
      if (open.second.key == key &&
          (((open.second.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) ||
           ((open.second.access & GENERIC_READ) && !(share & FILE_SHARE_READ))))
        return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    if (exists && writing && w.files[key].mapped)
      return Fail(disposition == CREATE_ALWAYS ? ERROR_USER_MAPPED_FILE : ERROR_SHARING_VIOLATION),
             INVALID_HANDLE_VALUE;
    if (disposition == OPEN_EXISTING) {
      if (!exists) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
      if ((writing || deleting) && w.IsHeld(key))
        return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    } else if (disposition == CREATE_ALWAYS) {
      if (exists && w.IsHeld(key)) return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
      w.files[key].bytes.clear();
    } else {
      return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    }
    HANDLE file = h.New();
    h.files[file] = FileCursor{key, 0, access, share, flags};
    ::SetLastError(exists && disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
    return file;
  });
  Set<&Platform::ReadFile>([&w, &h](HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                                    LPOVERLAPPED) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    const std::string& bytes = w.files[it->second.key].bytes;
    size_t left = bytes.size() > it->second.position ? bytes.size() - it->second.position : 0;
    DWORD n = static_cast<DWORD>(std::min<size_t>(left, count));
    if (n) std::memcpy(buffer, bytes.data() + it->second.position, n);
    it->second.position += n;
    if (read) *read = n;
    return TRUE;
  });
  Set<&Platform::WriteFile>([&w, &h](HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                     LPOVERLAPPED) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    WorldFile& changed = w.files[it->second.key];
    if (!changed.unflushed) changed.flushedBytes = changed.bytes;
    changed.unflushed = true;
    std::string& bytes = changed.bytes;
    if (bytes.size() < it->second.position + count) bytes.resize(it->second.position + count);
    if (count) std::memcpy(&bytes[it->second.position], buffer, count);
    it->second.position += count;
    if (written) *written = count;
    return TRUE;
  });
  Set<&Platform::SetFilePointerEx>([&h](HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER at,
                                        DWORD method) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN || to.QuadPart < 0) return Fail(ERROR_INVALID_PARAMETER);
    it->second.position = static_cast<size_t>(to.QuadPart);
    if (at) at->QuadPart = to.QuadPart;
    return TRUE;
  });
  Set<&Platform::SetEndOfFile>([&w, &h](HANDLE file) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!(it->second.access & (GENERIC_WRITE | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    w.files[it->second.key].bytes.resize(it->second.position);
    return TRUE;
  });
  Set<&Platform::CloseHandle>([&w, &h](HANDLE handle) {
    auto open = h.files.find(handle);
    if (open != h.files.end()) {
      if (open->second.flags & FILE_FLAG_DELETE_ON_CLOSE) w.files.erase(open->second.key);
      h.files.erase(open);
      return TRUE;
    }
    if (Erase(h.mutexes, handle) || Erase(h.others, handle)) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
  });
  Set<&Platform::DeleteFileW>([&w](LPCWSTR path) {
    std::wstring key = FileKey(Str(path));
    if (!w.files.count(key)) return Fail(ERROR_FILE_NOT_FOUND);
    if (w.IsHeld(key) || w.files[key].mapped) return Fail(ERROR_ACCESS_DENIED);
    if (OpenHandleRefuses(key, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION);
    w.files.erase(key);
    return TRUE;
  });
  Set<&Platform::GetFileAttributesW>([&w](LPCWSTR path) -> DWORD {
    std::wstring key = FileKey(Str(path));
    if (w.files.count(key)) return FILE_ATTRIBUTE_ARCHIVE;
    for (const wchar_t* dir : {kSystemDir, kDriverDir, kProductDir, kModuleDir})
      if (key == Lower(std::wstring(dir))) return FILE_ATTRIBUTE_DIRECTORY;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  });
  Set<&Platform::MoveFileExW>([&w, &h](LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (!from || !*from) return Fail(ERROR_INVALID_PARAMETER);
    if (to && !(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
      // A rename now, over an existing file only with MOVEFILE_REPLACE_EXISTING.
      // Windows refuses to replace a file that is loaded or open (without
      // delete sharing: ERROR_SHARING_VIOLATION; with it, as on Wine for any
      // open handle: ERROR_ACCESS_DENIED).
      if (flags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Fail(ERROR_INVALID_PARAMETER);
      std::wstring source = FileKey(Str(from));
      std::wstring target = FileKey(Str(to));
      if (!w.files.count(source)) return Fail(ERROR_FILE_NOT_FOUND);
      if (OpenHandleRefuses(source, FILE_SHARE_DELETE) || w.IsHeld(source))
        return Fail(ERROR_SHARING_VIOLATION);
      if (w.files.count(target) && source != target) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
        if (OpenHandleRefuses(target, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION);
        for (const auto& open : h.files)
          if (open.second.key == target) return Fail(ERROR_ACCESS_DENIED);
        if (w.IsHeld(target) || w.files[target].mapped) return Fail(ERROR_ACCESS_DENIED);
      }
      WorldFile moved = w.files[source];
      w.files.erase(source);
      w.files[target] = moved;
      return TRUE;
    }
    if (to || flags != MOVEFILE_DELAY_UNTIL_REBOOT) return Fail(ERROR_INVALID_PARAMETER);
    // Windows queues the pair in the session manager's value: "\??\path",
    // then an empty destination.
    std::wstring entry = L"\\??\\" + Str(from);
    WorldRegValue& value = w.registry[Lower(std::string(kSessionManagerKey))]
                                     [Lower(std::string("PendingFileRenameOperations"))];
    value.type = REG_MULTI_SZ;
    std::wstring list;
    if (value.bytes.size() >= 2) {
      list.assign(value.bytes.size() / 2, L'\0');
      std::memcpy(&list[0], value.bytes.data(), list.size() * 2);
      while (!list.empty() && list.back() == L'\0') list.pop_back();
      list.push_back(L'\0');
    }
    list += entry;
    list.push_back(L'\0');
    list.push_back(L'\0');  // the empty destination
    list.push_back(L'\0');  // the end of the list
    value.bytes.assign(reinterpret_cast<const char*>(list.data()), list.size() * 2);
    w.bootDeletes.push_back(Str(from));
    return TRUE;
  });
  Set<&Platform::FlushFileBuffers>([&w, &h](HANDLE file) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!(it->second.access & (GENERIC_WRITE | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    w.files[it->second.key].unflushed = false;
    return TRUE;
  });
  Set<&Platform::GetFileInformationByHandle>([&w, &h](HANDLE file,
                                                     LPBY_HANDLE_FILE_INFORMATION info) {
    auto it = h.files.find(file);
    if (it == h.files.end()) return Fail(ERROR_INVALID_HANDLE);
    if (!info) return Fail(ERROR_INVALID_PARAMETER);
    // The volume by its drive, the file by its resolved path: two spellings
    // of one path are one file.
    const std::wstring& key = it->second.key;
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    info->dwVolumeSerialNumber =
        static_cast<DWORD>(std::hash<std::wstring>()(key.substr(0, key.find(L'\\'))));
    uint64_t index = std::hash<std::wstring>()(key);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index);
    info->nFileSizeLow = static_cast<DWORD>(w.files[key].bytes.size());
    info->nNumberOfLinks = 1;
    return TRUE;
  });
  Set<&Platform::GetModuleFileNameW>([](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
    std::wstring path = WorldModuleDirectory() + L"install.exe";
    if (size == 0) return 0;
    wcsncpy_s(buffer, size, path.c_str(), _TRUNCATE);
    return static_cast<DWORD>(std::wcslen(buffer));
  });
  Set<&Platform::GetSystemDirectoryW>([](LPWSTR buffer, UINT size) -> UINT {
    size_t n = std::wcslen(kSystemDir);
    if (!buffer || size <= n) return static_cast<UINT>(n + 1);
    wcscpy_s(buffer, size, kSystemDir);
    return static_cast<UINT>(n);
  });
  Set<&Platform::GetTempPathW>([](DWORD size, LPWSTR buffer) -> DWORD {
    size_t n = std::wcslen(kTempDir);
    if (!buffer || size <= n) return static_cast<DWORD>(n + 1);
    wcscpy_s(buffer, size, kTempDir);
    return static_cast<DWORD>(n);
  });

  // --- version resources -----------------------------------------------------
  Set<&Platform::GetFileVersionInfoSizeW>([&w](LPCWSTR path, LPDWORD handle) -> DWORD {
    if (handle) *handle = 0;
    WorldFile* file = w.FindFile(Str(path));
    if (!file) return Fail(ERROR_FILE_NOT_FOUND), 0;
    if (BuildOf(file->bytes) < 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND), 0;
    return static_cast<DWORD>(sizeof(VS_FIXEDFILEINFO) + 64);
  });
  Set<&Platform::GetFileVersionInfoW>([&w](LPCWSTR path, DWORD, DWORD size, LPVOID data) {
    WorldFile* file = w.FindFile(Str(path));
    if (!file) return Fail(ERROR_FILE_NOT_FOUND);
    int build = BuildOf(file->bytes);
    if (build < 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    if (size < sizeof(VS_FIXEDFILEINFO)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    VS_FIXEDFILEINFO info{};
    info.dwSignature = 0xFEEF04BD;
    info.dwStrucVersion = 0x10000;
    info.dwProductVersionMS = info.dwFileVersionMS = 0x00010000;
    info.dwProductVersionLS = info.dwFileVersionLS = static_cast<DWORD>(build & 0xFFFF);
    std::memcpy(data, &info, sizeof(info));
    return TRUE;
  });
  Set<&Platform::VerQueryValueW>([](LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT length) {
    if (!block || !sub || std::wcscmp(sub, L"\\") != 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    *out = const_cast<LPVOID>(block);
    if (length) *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  });
}

}  // namespace fake
