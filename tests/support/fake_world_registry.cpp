// fake::World: registry keys and values, their access lists and flushes.
#include "support/fake_world.h"

#include <sddl.h>
#include <algorithm>
#include <cstring>

#include "support/fake_world_internal.h"

namespace fake {

using namespace world_internal;

namespace {

// The access list of a security descriptor, as SDDL.
std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LPWSTR text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return L"";
  std::wstring sddl = text;
  ::LocalFree(text);
  return sddl;
}

// The names of the keys directly below `path`, in order.
std::vector<std::string> ChildKeys(const World& world, const std::string& path) {
  std::vector<std::string> names;
  std::string prefix = path + "\\";
  for (const auto& key : world.registry) {
    if (key.first.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = key.first.substr(prefix.size());
    name = name.substr(0, name.find('\\'));
    if (names.empty() || names.back() != name) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace

void World::InstallRegistryHooks() {
  World& w = *this;
  Handles& h = TheHandles();

  // --- registry ------------------------------------------------------------
  Set<&Platform::RegOpenKeyExA>([&w, &h](HKEY root, LPCSTR sub, DWORD, REGSAM, PHKEY result) {
    std::string path = KeyPath(root, sub);
    if (!w.registry.count(path)) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return static_cast<LSTATUS>(ERROR_SUCCESS);
  });
  Set<&Platform::RegQueryValueExW>([&w, &h](HKEY key, LPCWSTR name, LPDWORD, LPDWORD type,
                                            LPBYTE data, LPDWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    WorldRegValue* value = w.FindRegValue(it->second, Narrow(name));
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    DWORD bytes = static_cast<DWORD>(value->bytes.size());
    if (!data) {
      if (size) *size = bytes;
      return ERROR_SUCCESS;
    }
    if (!size || *size < bytes) {
      if (size) *size = bytes;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, value->bytes.data(), bytes);
    *size = bytes;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegSetValueExW>([&w, &h](HKEY key, LPCWSTR name, DWORD, DWORD type,
                                          const BYTE* data, DWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    WorldRegValue& value = w.registry[it->second][Lower(Narrow(name))];
    value.type = type;
    value.bytes.assign(reinterpret_cast<const char*>(data), size);
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteValueA>([&w, &h](HKEY key, LPCSTR name) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    return w.registry[it->second].erase(Lower(std::string(name ? name : ""))) ? ERROR_SUCCESS
                                                                              : ERROR_FILE_NOT_FOUND;
  });
  Set<&Platform::RegOpenKeyExW>([&w, &h](HKEY root, LPCWSTR sub, DWORD, REGSAM,
                                         PHKEY result) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!w.registry.count(path)) return ERROR_FILE_NOT_FOUND;
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegCreateKeyExW>([&w, &h](HKEY root, LPCWSTR sub, DWORD, LPWSTR, DWORD, REGSAM,
                                           const LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                                           LPDWORD disposition) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    bool exists = w.registry.count(path) != 0;
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    if (!exists && attributes && attributes->lpSecurityDescriptor)
      w.registrySddl[path] = SddlOf(attributes->lpSecurityDescriptor);
    // Every key on the way is made as well.
    for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1))
      w.registry[path.substr(0, cut)];
    w.registry[path];
    HKEY key = reinterpret_cast<HKEY>(h.New());
    h.keys[key] = path;
    *result = key;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegEnumKeyExW>([&w, &h](HKEY key, DWORD index, LPWSTR name, LPDWORD chars,
                                         LPDWORD, LPWSTR, LPDWORD, PFILETIME) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    std::vector<std::string> names = ChildKeys(w, it->second);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& child = names[index];
    if (!chars || *chars <= child.size()) return ERROR_MORE_DATA;
    for (size_t i = 0; i < child.size(); ++i) name[i] = static_cast<unsigned char>(child[i]);
    name[child.size()] = L'\0';
    *chars = static_cast<DWORD>(child.size());
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegQueryInfoKeyW>([&w, &h](HKEY key, LPWSTR, LPDWORD, LPDWORD, LPDWORD subKeys,
                                            LPDWORD, LPDWORD, LPDWORD values, LPDWORD, LPDWORD,
                                            LPDWORD, PFILETIME) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    if (subKeys) *subKeys = static_cast<DWORD>(ChildKeys(w, it->second).size());
    if (values) *values = static_cast<DWORD>(w.registry[it->second].size());
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteTreeW>([&w](HKEY root, LPCWSTR sub) -> LSTATUS {
    std::string path = KeyPathBelow(root, sub);
    if (path.empty()) return ERROR_INVALID_HANDLE;
    if (!w.registry.count(path)) return ERROR_FILE_NOT_FOUND;
    std::string prefix = path + "\\";
    for (auto it = w.registry.begin(); it != w.registry.end();)
      it = it->first.compare(0, prefix.size(), prefix) == 0 ? w.registry.erase(it) : std::next(it);
    // With a sub-key the key itself goes; without one only its content.
    if (sub && *sub)
      w.registry.erase(path);
    else
      w.registry[path].clear();
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegFlushKey>([&w, &h](HKEY key) -> LSTATUS {
    std::string path;
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
      path = KeyPath(key, nullptr);
      // The machine's hives as a whole: the spooler's data among them.
      if (key == HKEY_LOCAL_MACHINE) w.FlushSpooler();
    } else {
      auto it = h.keys.find(key);
      if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
      path = it->second;
    }
    w.FlushHive(path.substr(0, 4));
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegEnumValueW>([&w, &h](HKEY key, DWORD index, LPWSTR name, LPDWORD chars,
                                         LPDWORD, LPDWORD type, LPBYTE data,
                                         LPDWORD size) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    const auto& values = w.registry[it->second];
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    auto value = std::next(values.begin(), index);
    const std::string& n = value->first;
    if (!chars || *chars <= n.size()) return ERROR_MORE_DATA;
    for (size_t i = 0; i < n.size(); ++i) name[i] = static_cast<unsigned char>(n[i]);
    name[n.size()] = L'\0';
    *chars = static_cast<DWORD>(n.size());
    if (type) *type = value->second.type;
    DWORD bytes = static_cast<DWORD>(value->second.bytes.size());
    if (data && size && *size < bytes) {
      *size = bytes;
      return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, value->second.bytes.data(), bytes);
    if (size) *size = bytes;
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegDeleteValueW>([&w, &h](HKEY key, LPCWSTR name) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    return w.registry[it->second].erase(Lower(Narrow(name))) ? ERROR_SUCCESS
                                                             : ERROR_FILE_NOT_FOUND;
  });
  Set<&Platform::RegSetKeySecurity>([&w, &h](HKEY key, SECURITY_INFORMATION,
                                             PSECURITY_DESCRIPTOR descriptor) -> LSTATUS {
    auto it = h.keys.find(key);
    if (it == h.keys.end()) return ERROR_INVALID_HANDLE;
    w.registrySddl[it->second] = SddlOf(descriptor);
    return ERROR_SUCCESS;
  });
  Set<&Platform::RegCloseKey>([&h](HKEY key) -> LSTATUS {
    return h.keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  });
}

}  // namespace fake
