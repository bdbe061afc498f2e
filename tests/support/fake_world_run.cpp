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

#include "support/fake_world_internal.h"

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
  std::map<HANDLE, int> fixed;  // tokens and the shell's process: opens not yet closed
  int environments = 0;         // environment blocks not yet destroyed
  uintptr_t next = 0x900000;
  HANDLE New() { return reinterpret_cast<HANDLE>(next += 8); }
};

RunHandles& TheRunHandles() {
  static RunHandles handles;
  return handles;
}

const auto kToken = reinterpret_cast<HANDLE>(0x7011);
const auto kLinkedToken = reinterpret_cast<HANDLE>(0x7012);
const auto kShellToken = reinterpret_cast<HANDLE>(0x7013);
const auto kPrimaryToken = reinterpret_cast<HANDLE>(0x7014);
const auto kShellProcess = reinterpret_cast<HANDLE>(0x7015);
const auto kShellWindow = reinterpret_cast<HWND>(0x7A10);
const DWORD kShellProcessId = 1200;
const DWORD kThisProcessId = 4100;
const auto kThisProcess = reinterpret_cast<HANDLE>(-1);
char g_environment[] = "A=1\0\0";

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

void world_internal::AddRunHandles(WorldOpenHandles& open, std::vector<std::string>* names) {
  const RunHandles& r = TheRunHandles();
  int tokens = 0;
  for (const auto& f : r.fixed) tokens += f.second;
  open.mutexes += static_cast<int>(r.mutexes.size());
  open.folders += static_cast<int>(r.directories.size());
  open.searches += static_cast<int>(r.searches.size());
  open.tokens += tokens;
  open.environments += r.environments;
  if (!names) return;
  auto narrow = [](const std::wstring& text) { return std::string(text.begin(), text.end()); };
  for (const auto& m : r.mutexes) names->push_back("mutex " + narrow(m.second));
  for (const auto& d : r.directories) names->push_back("folder " + narrow(d.second));
  if (!r.searches.empty()) names->push_back("searches " + std::to_string(r.searches.size()));
  if (tokens) names->push_back("tokens " + std::to_string(tokens));
  if (r.environments) names->push_back("environment blocks " + std::to_string(r.environments));
}

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
    for (HANDLE token : {kToken, kLinkedToken, kShellToken, kPrimaryToken, kShellProcess})
      if (handle == token) {
        if (r.fixed[handle] > 0) --r.fixed[handle];
        return TRUE;
      }
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
  Set<&Platform::RemoveDirectoryW>([&w](LPCWSTR path) -> BOOL {
    std::wstring key = Lower(Str(path));
    if (!w.directories.count(key)) return Fail(ERROR_PATH_NOT_FOUND);
    if (!w.FilesIn(key).empty()) return Fail(ERROR_DIR_NOT_EMPTY);
    for (const auto& d : w.directories)
      if (d.first.size() > key.size() && d.first.compare(0, key.size() + 1, key + L"\\") == 0)
        return Fail(ERROR_DIR_NOT_EMPTY);
    w.directories.erase(key);
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
    if (disposition == OPEN_ALWAYS) {
      bool exists = w.files.count(key) != 0;
      HANDLE handle = create(path, access, share, attributes, exists ? OPEN_EXISTING : CREATE_ALWAYS,
                             flags, templateFile);
      if (handle == INVALID_HANDLE_VALUE) return handle;
      if (!exists) {
        w.files[key].created = ++w.fileClock;
        if (attributes && attributes->lpSecurityDescriptor)
          w.files[key].sddl = SddlOf(attributes->lpSecurityDescriptor);
      }
      r.files[handle] = key;
      ::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
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
  Set<&Platform::OpenProcessToken>([&r](HANDLE process, DWORD, PHANDLE token) -> BOOL {
    if (!token || (process != kThisProcess && process != kShellProcess))
      return Fail(ERROR_INVALID_HANDLE);
    *token = process == kThisProcess ? kToken : kShellToken;
    ++r.fixed[*token];
    return TRUE;
  });
  Set<&Platform::GetTokenInformation>([&w, &r](HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                           DWORD size, PDWORD needed) -> BOOL {
    const WorldToken* t = token == kToken || token == kLinkedToken ? &w.processToken
                          : token == kShellToken || token == kPrimaryToken ? &w.shellToken
                                                                           : nullptr;
    if (!t) return Fail(ERROR_INVALID_HANDLE);
    auto put = [&](const void* bytes, DWORD total) -> BOOL {
      if (needed) *needed = total;
      if (!data || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(data, bytes, total);
      return TRUE;
    };
    auto sidOf = [](const std::wstring& text, std::vector<BYTE>& out) {
      PSID sid = nullptr;
      if (!::ConvertStringSidToSidW(text.c_str(), &sid)) return false;
      out.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
      ::LocalFree(sid);
      return true;
    };
    switch (kind) {
      case TokenUser: {
        std::vector<BYTE> sid;
        if (!sidOf(t->user.empty() ? w.accountSid : t->user, sid)) return FALSE;
        std::vector<BYTE> block(sizeof(TOKEN_USER) + sid.size());
        std::memcpy(block.data() + sizeof(TOKEN_USER), sid.data(), sid.size());
        DWORD total = static_cast<DWORD>(block.size());
        if (needed) *needed = total;
        if (!data || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(data, block.data(), total);
        auto* user = static_cast<TOKEN_USER*>(data);
        user->User.Sid = static_cast<BYTE*>(data) + sizeof(TOKEN_USER);
        user->User.Attributes = 0;
        return TRUE;
      }
      case TokenGroups: {
        std::vector<std::wstring> names = {L"S-1-1-0", L"S-1-5-32-544", L"S-1-5-11"};
        names.push_back(t->service ? L"S-1-5-6" : L"S-1-5-4");
        std::vector<std::vector<BYTE>> sids(names.size());
        DWORD total = static_cast<DWORD>(sizeof(TOKEN_GROUPS) +
                                         (names.size() - 1) * sizeof(SID_AND_ATTRIBUTES));
        for (size_t i = 0; i < names.size(); ++i) {
          sidOf(names[i], sids[i]);
          total += static_cast<DWORD>(sids[i].size());
        }
        if (needed) *needed = total;
        if (!data || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* groups = static_cast<TOKEN_GROUPS*>(data);
        groups->GroupCount = static_cast<DWORD>(names.size());
        BYTE* at = reinterpret_cast<BYTE*>(&groups->Groups[names.size()]);
        for (size_t i = 0; i < names.size(); ++i) {
          std::memcpy(at, sids[i].data(), sids[i].size());
          groups->Groups[i].Sid = at;
          groups->Groups[i].Attributes = SE_GROUP_ENABLED;
          at += sids[i].size();
        }
        return TRUE;
      }
      case TokenElevationType: {
        DWORD type = token == kLinkedToken ? TokenElevationTypeLimited : t->elevationType;
        return put(&type, sizeof(type));
      }
      case TokenElevation: {
        TOKEN_ELEVATION e = {token == kLinkedToken ? 0u : (t->elevated ? 1u : 0u)};
        return put(&e, sizeof(e));
      }
      case TokenSessionId:
        return put(&t->session, sizeof(t->session));
      case TokenLinkedToken: {
        if (token != kToken || t->elevationType == TokenElevationTypeDefault)
          return Fail(ERROR_NO_SUCH_LOGON_SESSION);
        TOKEN_LINKED_TOKEN linked = {kLinkedToken};
        // The caller gets a handle of its own to close.
        if (!put(&linked, sizeof(linked))) return FALSE;
        ++r.fixed[kLinkedToken];
        return TRUE;
      }
      case TokenIntegrityLevel: {
        DWORD level = token == kLinkedToken ? t->linkedIntegrity : t->elevated ? 0x3000 : 0x2000;
        std::vector<BYTE> sid;
        sidOf(L"S-1-16-" + std::to_wstring(level), sid);
        DWORD total = static_cast<DWORD>(sizeof(TOKEN_MANDATORY_LABEL) + sid.size());
        if (needed) *needed = total;
        if (!data || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* label = static_cast<TOKEN_MANDATORY_LABEL*>(data);
        std::memcpy(label + 1, sid.data(), sid.size());
        label->Label.Sid = label + 1;
        label->Label.Attributes = SE_GROUP_INTEGRITY;
        return TRUE;
      }
      default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
  });

  // --- files and folders by name inside a held folder ----------------------------
  Set<&Platform::NtCreateFile>([&w, &r, create](PHANDLE result, ACCESS_MASK access,
                                                POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                                                PLARGE_INTEGER, ULONG, ULONG share,
                                                ULONG disposition, ULONG options, PVOID,
                                                ULONG) -> NTSTATUS {
    const NTSTATUS kInvalid = static_cast<NTSTATUS>(0xC000000DL);
    const NTSTATUS kCollision = static_cast<NTSTATUS>(0xC0000035L);
    const NTSTATUS kNotFound = static_cast<NTSTATUS>(0xC0000034L);
    const NTSTATUS kNotDirectory = static_cast<NTSTATUS>(0xC0000103L);
    if (!result || !object || !object->ObjectName || !status) return kInvalid;
    auto root = r.directories.find(object->RootDirectory);
    if (root == r.directories.end()) return kInvalid;
    std::wstring name(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
    if (name.empty() || name.find(L'\\') != std::wstring::npos) return kInvalid;
    std::wstring key = root->second + L"\\" + Lower(name);
    bool follow = !(options & FILE_OPEN_REPARSE_POINT);
    *result = nullptr;
    if (options & FILE_DIRECTORY_FILE) {
      auto dir = w.directories.find(key);
      if (w.files.count(key)) return kNotDirectory;
      if (dir != w.directories.end()) {
        if (disposition == FILE_CREATE) return kCollision;
        // This machine has no targets for its links.
        if (dir->second.reparsePoint && follow) return kNotFound;
        status->Information = FILE_OPENED;
      } else {
        if (disposition != FILE_CREATE && disposition != FILE_OPEN_IF) return kNotFound;
        std::wstring sddl = object->SecurityDescriptor ? SddlOf(object->SecurityDescriptor)
                                                       : L"D:(A;OICI;FA;;;SY)";
        if (sddl.compare(0, 2, L"O:") != 0) sddl = L"O:" + w.accountSid + sddl;
        w.directories[key].sddl = sddl;
        status->Information = FILE_CREATED;
      }
      *result = r.New();
      r.directories[*result] = key;
      return 0;
    }
    if (disposition != FILE_CREATE) return kInvalid;
    if (w.files.count(key) || w.directories.count(key)) return kCollision;
    HANDLE handle = create(key.c_str(), access, share, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kInvalid;
    w.files[key].created = ++w.fileClock;
    r.files[handle] = key;
    status->Information = FILE_CREATED;
    *result = handle;
    return 0;
  });

  // --- this process --------------------------------------------------------------
  Set<&Platform::GetCurrentProcessId>([] { return kThisProcessId; });
  Set<&Platform::GetProcessTimes>([](HANDLE process, LPFILETIME created, LPFILETIME exited,
                                     LPFILETIME kernel, LPFILETIME user) -> BOOL {
    if (process != kThisProcess) return Fail(ERROR_INVALID_HANDLE);
    SYSTEMTIME start = {2026, 12, 1, 7, 10, 5, 0, 0};
    ::SystemTimeToFileTime(&start, created);
    *exited = *kernel = *user = FILETIME{};
    return TRUE;
  });

  // --- the shell and the tray program's start with its token ----------------------
  Set<&Platform::GetShellWindow>([&w]() -> HWND { return w.shellRunning ? kShellWindow : nullptr; });
  Set<&Platform::GetWindowThreadProcessId>([&w](HWND window, LPDWORD process) -> DWORD {
    if (window != kShellWindow || !w.shellRunning) return Fail(ERROR_INVALID_WINDOW_HANDLE), 0;
    if (process) *process = kShellProcessId;
    return 77;
  });
  Set<&Platform::OpenProcess>([&w, &r](DWORD, BOOL, DWORD id) -> HANDLE {
    if (id != kShellProcessId || !w.shellRunning) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    ++r.fixed[kShellProcess];
    return kShellProcess;
  });
  Set<&Platform::DuplicateTokenEx>([&r](HANDLE token, DWORD, LPSECURITY_ATTRIBUTES,
                                        SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE type,
                                        PHANDLE result) -> BOOL {
    if (token != kShellToken || type != TokenPrimary) return Fail(ERROR_ACCESS_DENIED);
    *result = kPrimaryToken;
    ++r.fixed[kPrimaryToken];
    return TRUE;
  });
  Set<&Platform::CreateEnvironmentBlock>([&r](LPVOID* block, HANDLE token, BOOL) -> BOOL {
    if (token != kPrimaryToken) return Fail(ERROR_INVALID_HANDLE);
    *block = g_environment;
    ++r.environments;
    return TRUE;
  });
  Set<&Platform::DestroyEnvironmentBlock>([&r](LPVOID block) -> BOOL {
    if (block != g_environment) return Fail(ERROR_INVALID_PARAMETER);
    if (r.environments > 0) --r.environments;
    return TRUE;
  });
  Set<&Platform::CreateProcessWithTokenW>([&w](HANDLE token, DWORD, LPCWSTR application,
                                               LPWSTR commandLine, DWORD flags, LPVOID environment,
                                               LPCWSTR directory, LPSTARTUPINFOW startup,
                                               LPPROCESS_INFORMATION info) -> BOOL {
    if (token != kPrimaryToken) return Fail(ERROR_ACCESS_DENIED);
    // The same start as CreateProcessW's, then who it ran as.
    BOOL ok = Hook<&Platform::CreateProcessW>::fn(application, commandLine, nullptr, nullptr, FALSE,
                                                  flags, environment, directory, startup, info);
    if (ok && w.trayStartedWith == L"run") {
      w.trayStartedWith = L"shell";
      w.trayDirectory = Str(directory);
      w.trayOwnEnvironment = environment == g_environment &&
                             (flags & CREATE_UNICODE_ENVIRONMENT) != 0;
    }
    return ok;
  });
}

}  // namespace fake
