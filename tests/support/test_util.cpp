#include "support/test_util.h"

#include <cstdlib>
#include <cstring>

#include <ostream>

#include "dispatch.h"

namespace testutil {

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::wstring> TrimmedLines(const std::wstring& text) {
  std::vector<std::wstring> lines = SplitLines(text);
  for (std::wstring& line : lines) line.erase(0, line.find_first_not_of(L' '));
  return lines;
}

std::vector<std::wstring> LogLines(const InstallSession& session) {
  return SplitLines(Text(session.InstallLog));
}

int RunCommand(std::initializer_list<const wchar_t*> arguments) {
  std::vector<wchar_t*> argv = {const_cast<wchar_t*>(L"install.exe")};
  for (const wchar_t* argument : arguments) argv.push_back(const_cast<wchar_t*>(argument));
  return DispatchArguments(static_cast<int>(argv.size()), argv.data());
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::wstring WindowsPath(const std::string& unixPath) {
  std::wstring path = L"Z:" + Widen(unixPath);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

std::wstring ProductDirectory() { return WindowsPath(LMX_PRODUCT_DIR_UNIX); }
std::wstring ProductX64Directory() { return ProductDirectory() + L"\\x64"; }

std::wstring ScratchDirectory(const std::wstring& name) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  std::wstring dir = std::wstring(temp) + L"lmxtest-" + name;
  // Empty it: delete the files one level down, then make sure it exists.
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ::DeleteFileW((dir + L"\\" + found.cFileName).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char block[65536];
  DWORD read = 0;
  while (::ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) bytes.append(block, read);
  ::CloseHandle(file);
  return bytes;
}

std::wstring ReadFileText(const std::wstring& path) {
  std::string bytes = ReadFileBytes(path);
  std::wstring text(bytes.size() / 2, L'\0');
  if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
  return text;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                         &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring SystemText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  std::wstring out = n && text ? std::wstring(text) : std::wstring();
  if (text) ::LocalFree(text);
  while (!out.empty() && (out.back() == L'\r' || out.back() == L'\n')) out.pop_back();
  return out;
}

std::string UnixPath(const std::wstring& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = fn ? fn(path.c_str()) : nullptr;
  std::string out = unix ? unix : "";
  if (unix) ::HeapFree(::GetProcessHeap(), 0, unix);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

DWORD RunHostTool(const std::wstring& command) {
  // Wine starts host programs but cannot wait for them: the shell writes its
  // status into a marker file, which is polled.
  std::wstring marker = ScratchDirectory(L"host-tool") + L"\\status";
  std::wstring line = L"Z:\\bin\\sh -c \"(" + command + L") >/dev/null 2>&1; echo $? > " +
                      Widen(UnixPath(marker)) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
    return 0xFFFFFFFF;
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  for (int i = 0; i < 2400; ++i, ::Sleep(100)) {
    std::string status = ReadFileBytes(marker);
    if (!status.empty() && status.back() == '\n') return static_cast<DWORD>(atoi(status.c_str()));
  }
  return 0xFFFFFFFF;
}

}  // namespace testutil

std::ostream& operator<<(std::ostream& out, const std::wstring& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n,
                          nullptr, nullptr);
  return out << '"' << narrow << '"';
}
