// The parts of fake::World that the run lock and the log file use: named
// mutexes with ownership and abandonment, folders with owners and access
// lists, CREATE_NEW, file identity, folder listings, the process's account
// and the local time. Each hook is layered over the one fake_world.cpp set,
// and hands on what it does not model.
#include "support/fake_world.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace fake {

namespace {

struct Search {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

struct RunHandles {
  std::map<HANDLE, std::wstring> mutexes;      // handle -> mutex name
  std::map<HANDLE, std::wstring> directories;  // handle -> lower-case path
  std::map<HANDLE, std::wstring> files;        // handle -> lower-case path (CREATE_NEW)
  std::map<HANDLE, Search> searches;
  uintptr_t next = 0x900000;
  HANDLE New() { return reinterpret_cast<HANDLE>(next += 8); }
};

RunHandles& TheRunHandles() {
  static RunHandles handles;
  return handles;
}

const auto kToken = reinterpret_cast<HANDLE>(0x7011);
const auto kThisProcess = reinterpret_cast<HANDLE>(-1);

BOOL Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

std::wstring Str(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

std::wstring ParentOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// The owner and access list of a security descriptor, as SDDL.
std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LPWSTR text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr))
    return L"";
  std::wstring sddl = text;
  ::LocalFree(text);
  return sddl;
}

template <auto Member>
auto Previous() {
  auto previous = Hook<Member>::fn;
  return previous;
}

}  // namespace

std::vector<std::wstring> World::FilesIn(const std::wstring& directory) const {
  std::wstring prefix = Lower(directory) + L"\\";
  std::vector<std::pair<uint64_t, std::wstring>> found;
  for (const auto& file : files)
    if (file.first.compare(0, prefix.size(), prefix) == 0 &&
        file.first.find(L'\\', prefix.size()) == std::wstring::npos)
      found.emplace_back(file.second.created, file.first.substr(prefix.size()));
  std::sort(found.begin(), found.end());
  std::vector<std::wstring> names;
  for (const auto& f : found) names.push_back(f.second);
  return names;
}

std::wstring World::TextOf(const std::wstring& path) const {
  auto it = files.find(Lower(path));
  if (it == files.end()) return L"";
  std::wstring text(it->second.bytes.size() / 2, L'\0');
  if (!text.empty()) std::memcpy(&text[0], it->second.bytes.data(), text.size() * 2);
  return text;
}

void World::InstallRunHooks() {
  World& w = *this;
  RunHandles& r = TheRunHandles();
  r = RunHandles{};

  // --- named mutexes -----------------------------------------------------------
  Set<&Platform::CreateMutexExW>([&w, &r](LPSECURITY_ATTRIBUTES attributes, LPCWSTR name,
                                          DWORD flags, DWORD) -> HANDLE {
    if (!name || flags != 0) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    auto it = w.mutexes.find(name);
    bool exists = it != w.mutexes.end();
    WorldMutex& mutex = w.mutexes[name];
    if (!exists && attributes && attributes->lpSecurityDescriptor)
      mutex.sddl = SddlOf(attributes->lpSecurityDescriptor);
    ++mutex.handles;
    HANDLE handle = r.New();
    r.mutexes[handle] = name;
    ::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
    return handle;
  });
  auto wait = Previous<&Platform::WaitForSingleObject>();
  Set<&Platform::WaitForSingleObject>([&w, &r, wait](HANDLE handle, DWORD ms) -> DWORD {
    auto it = r.mutexes.find(handle);
    if (it == r.mutexes.end()) return wait(handle, ms);
    WorldMutex& mutex = w.mutexes[it->second];
    if (mutex.heldByOther) {
      DWORD waited = ms;
      if (mutex.otherLetsGoAfterMs >= 0 && static_cast<DWORD>(mutex.otherLetsGoAfterMs) <= ms) {
        waited = static_cast<DWORD>(mutex.otherLetsGoAfterMs);
        mutex.heldByOther = false;
      } else if (mutex.otherLetsGoAfterMs >= 0) {
        mutex.otherLetsGoAfterMs -= static_cast<int>(ms);
      }
      if (waited != INFINITE) {
        TheClock().now += waited;
        TheClock().slept += waited;
      }
      if (mutex.heldByOther) return WAIT_TIMEOUT;
    }
    if (mutex.owner && mutex.owner != handle) return WAIT_TIMEOUT;
    mutex.owner = handle;
    if (mutex.abandoned) {
      mutex.abandoned = false;
      return WAIT_ABANDONED;
    }
    return WAIT_OBJECT_0;
  });
  auto release = Previous<&Platform::ReleaseMutex>();
  Set<&Platform::ReleaseMutex>([&w, &r, release](HANDLE handle) -> BOOL {
    auto it = r.mutexes.find(handle);
    if (it == r.mutexes.end()) return release(handle);
    WorldMutex& mutex = w.mutexes[it->second];
    if (mutex.owner != handle) return Fail(ERROR_NOT_OWNER);
    mutex.owner = nullptr;
    return TRUE;
  });

  // --- handles -------------------------------------------------------------------
  auto close = Previous<&Platform::CloseHandle>();
  Set<&Platform::CloseHandle>([&w, &r, close](HANDLE handle) -> BOOL {
    auto m = r.mutexes.find(handle);
    if (m != r.mutexes.end()) {
      auto it = w.mutexes.find(m->second);
      r.mutexes.erase(m);
      if (it != w.mutexes.end()) {
        WorldMutex& mutex = it->second;
        // The object goes with its last handle, unless someone owns it.
        if (--mutex.handles <= 0 && !mutex.owner && !mutex.heldByOther && !mutex.abandoned)
          w.mutexes.erase(it);
      }
      return TRUE;
    }
    if (r.directories.erase(handle)) return TRUE;
    if (handle == kToken) return TRUE;
    r.files.erase(handle);
    return close(handle);
  });

  // --- folders and files ---------------------------------------------------------
  auto attributesOf = Previous<&Platform::GetFileAttributesW>();
  Set<&Platform::GetFileAttributesW>([&w, attributesOf](LPCWSTR path) -> DWORD {
    auto it = w.directories.find(Lower(Str(path)));
    if (it != w.directories.end())
      return FILE_ATTRIBUTE_DIRECTORY |
             (it->second.reparsePoint ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
    return attributesOf(path);
  });
  Set<&Platform::CreateDirectoryW>([&w](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
    std::wstring key = Lower(Str(path));
    if (w.directories.count(key) || w.files.count(key)) return Fail(ERROR_ALREADY_EXISTS);
    if (!w.directories.count(ParentOf(key))) return Fail(ERROR_PATH_NOT_FOUND);
    std::wstring sddl = attributes && attributes->lpSecurityDescriptor
                            ? SddlOf(attributes->lpSecurityDescriptor)
                            : L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
    // Without an owner in the descriptor the creator owns it.
    if (sddl.compare(0, 2, L"O:") != 0) sddl = L"O:" + w.accountSid + sddl;
    w.directories[key].sddl = sddl;
    return TRUE;
  });
  auto create = Previous<&Platform::CreateFileW>();
  Set<&Platform::CreateFileW>([&w, &r, create](LPCWSTR path, DWORD access, DWORD share,
                                               LPSECURITY_ATTRIBUTES attributes,
                                               DWORD disposition, DWORD flags,
                                               HANDLE templateFile) -> HANDLE {
    std::wstring key = Lower(Str(path));
    auto dir = w.directories.find(key);
    if (dir != w.directories.end()) {
      if (disposition != OPEN_EXISTING || !(flags & FILE_FLAG_BACKUP_SEMANTICS))
        return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
      // Without FILE_FLAG_OPEN_REPARSE_POINT a link would be followed; this
      // machine has no targets for its links, so that open fails.
      if (dir->second.reparsePoint && !(flags & FILE_FLAG_OPEN_REPARSE_POINT))
        return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
      HANDLE handle = r.New();
      r.directories[handle] = key;
      ::SetLastError(0);
      return handle;
    }
    if (disposition != CREATE_NEW) {
      HANDLE handle = create(path, access, share, attributes, disposition, flags, templateFile);
      if (handle != INVALID_HANDLE_VALUE) r.files[handle] = key;
      return handle;
    }
    if (w.files.count(key)) return Fail(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
    if (!w.directories.count(ParentOf(key)))
      return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    HANDLE handle = create(path, access, share, attributes, CREATE_ALWAYS, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    w.files[key].created = ++w.fileClock;
    r.files[handle] = key;
    ::SetLastError(0);
    return handle;
  });
  auto fileInfo = Previous<&Platform::GetFileInformationByHandle>();
  Set<&Platform::GetFileInformationByHandle>([&w, &r, fileInfo](
                                                 HANDLE handle,
                                                 LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
    auto dir = r.directories.find(handle);
    if (dir != r.directories.end()) {
      if (!info) return Fail(ERROR_INVALID_PARAMETER);
      *info = BY_HANDLE_FILE_INFORMATION{};
      const WorldDirectory& d = w.directories[dir->second];
      info->dwFileAttributes =
          FILE_ATTRIBUTE_DIRECTORY | (d.reparsePoint ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
      info->nNumberOfLinks = 1;
      return TRUE;
    }
    BOOL ok = fileInfo(handle, info);
    auto file = r.files.find(handle);
    if (ok && file != r.files.end()) {
      const WorldFile& f = w.files[file->second];
      if (f.reparsePoint) info->dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
      info->nNumberOfLinks = static_cast<DWORD>(f.links);
    }
    return ok;
  });
  Set<&Platform::GetSecurityInfo>([&w, &r](HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION,
                                           PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                           PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
    auto dir = r.directories.find(handle);
    if (dir == r.directories.end() || type != SE_FILE_OBJECT) return ERROR_INVALID_HANDLE;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            w.directories[dir->second].sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
      return ::GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    if (owner) ::GetSecurityDescriptorOwner(sd, owner, &defaulted);
    if (dacl) {
      *dacl = nullptr;
      ::GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted);
      if (!present) *dacl = nullptr;
    }
    if (group) *group = nullptr;
    if (sacl) *sacl = nullptr;
    if (descriptor) *descriptor = sd;
    return ERROR_SUCCESS;
  });
  Set<&Platform::FindFirstFileW>([&w, &r](LPCWSTR pattern, LPWIN32_FIND_DATAW data) -> HANDLE {
    std::wstring text = Lower(Str(pattern));
    if (text.size() < 2 || text.compare(text.size() - 2, 2, L"\\*") != 0)
      return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    std::wstring directory = text.substr(0, text.size() - 2);
    if (!w.directories.count(directory)) return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    Search search;
    for (const std::wstring& name : w.FilesIn(directory)) {
      WIN32_FIND_DATAW entry = {};
      const WorldFile& file = w.files[directory + L"\\" + name];
      entry.dwFileAttributes = file.reparsePoint ? FILE_ATTRIBUTE_REPARSE_POINT
                                                 : FILE_ATTRIBUTE_ARCHIVE;
      entry.ftLastWriteTime.dwLowDateTime = static_cast<DWORD>(file.created);
      wcsncpy_s(entry.cFileName, name.c_str(), _TRUNCATE);
      search.entries.push_back(entry);
    }
    // Listing order is the file system's, not the age: reversed here.
    std::reverse(search.entries.begin(), search.entries.end());
    if (search.entries.empty()) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    *data = search.entries[0];
    search.next = 1;
    HANDLE handle = r.New();
    r.searches[handle] = search;
    return handle;
  });
  Set<&Platform::FindNextFileW>([&r](HANDLE handle, LPWIN32_FIND_DATAW data) -> BOOL {
    auto it = r.searches.find(handle);
    if (it == r.searches.end()) return Fail(ERROR_INVALID_HANDLE);
    if (it->second.next >= it->second.entries.size()) return Fail(ERROR_NO_MORE_FILES);
    *data = it->second.entries[it->second.next++];
    return TRUE;
  });
  Set<&Platform::FindClose>([&r](HANDLE handle) -> BOOL {
    return r.searches.erase(handle) ? TRUE : Fail(ERROR_INVALID_HANDLE);
  });
  Set<&Platform::SHGetFolderPathW>([](HWND, int folder, HANDLE, DWORD, LPWSTR path) -> HRESULT {
    if (folder != CSIDL_COMMON_APPDATA) return E_INVALIDARG;
    wcscpy_s(path, MAX_PATH, kProgramData);
    return S_OK;
  });
  Set<&Platform::GetLocalTime>([](LPSYSTEMTIME time) {
    // 7 December 2026, 11:05:12.000, and on with the fake clock.
    SYSTEMTIME base = {2026, 12, 1, 7, 11, 5, 12, 0};
    FILETIME t;
    ::SystemTimeToFileTime(&base, &t);
    ULARGE_INTEGER n;
    n.LowPart = t.dwLowDateTime;
    n.HighPart = t.dwHighDateTime;
    n.QuadPart += static_cast<ULONGLONG>(TheClock().now) * 10000;
    t.dwLowDateTime = n.LowPart;
    t.dwHighDateTime = n.HighPart;
    ::FileTimeToSystemTime(&t, time);
  });

  // --- the process's account -----------------------------------------------------
  Set<&Platform::GetCurrentProcess>([] { return kThisProcess; });
  Set<&Platform::OpenProcessToken>([](HANDLE process, DWORD, PHANDLE token) -> BOOL {
    if (process != kThisProcess || !token) return Fail(ERROR_INVALID_HANDLE);
    *token = kToken;
    return TRUE;
  });
  Set<&Platform::GetTokenInformation>([&w](HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                           DWORD size, PDWORD needed) -> BOOL {
    if (token != kToken || kind != TokenUser) return Fail(ERROR_INVALID_PARAMETER);
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(w.accountSid.c_str(), &sid)) return FALSE;
    DWORD sidBytes = ::GetLengthSid(sid);
    DWORD total = static_cast<DWORD>(sizeof(TOKEN_USER)) + sidBytes;
    if (needed) *needed = total;
    if (!data || size < total) {
      ::LocalFree(sid);
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* user = static_cast<TOKEN_USER*>(data);
    BYTE* copy = static_cast<BYTE*>(data) + sizeof(TOKEN_USER);
    std::memcpy(copy, sid, sidBytes);
    user->User.Sid = copy;
    user->User.Attributes = 0;
    ::LocalFree(sid);
    return TRUE;
  });
}

}  // namespace fake
