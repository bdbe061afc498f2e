// Small helpers shared by the tests.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "session/session.h"

namespace testutil {

// The lines of a text whose lines end in CR LF, without their CR LF; a last
// line without CR LF counts too.
std::vector<std::wstring> SplitLines(const std::wstring& text);
// The same lines without their indentation (the blanks in front).
std::vector<std::wstring> TrimmedLines(const std::wstring& text);
// The log's lines, without their CR LF.
std::vector<std::wstring> LogLines(const InstallSession& session);

std::wstring Widen(const std::string& text);

// The exit code of the program started with `arguments` after its name, as
// the dispatcher gives it for the split command line.
int RunCommand(std::initializer_list<const wchar_t*> arguments);

// The product folder, as a Windows path (Wine maps Z: to /).
std::wstring ProductDirectory();       // ...\out\product
std::wstring ProductX64Directory();    // ...\out\product\x64
std::wstring WindowsPath(const std::string& unixPath);
// A fresh, empty scratch directory for one test, as a Windows path.
std::wstring ScratchDirectory(const std::wstring& name);

// The bytes of a file (read while others may write it), or empty when it
// cannot be opened.
std::string ReadFileBytes(const std::wstring& path);
// A UTF-16 file's text, byte-order mark included.
std::wstring ReadFileText(const std::wstring& path);
// Writes `bytes` into a new file.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// The host's path of a Windows path (no trailing slash), or "" off Wine.
std::string UnixPath(const std::wstring& path);
// Runs a shell command line on the host (its output discarded) and returns
// its exit status; 0xFFFFFFFF when it did not start or end within 4 minutes.
DWORD RunHostTool(const std::wstring& command);

// The system's English text for an error code, as LogError appends it.
std::wstring SystemText(DWORD code);

}  // namespace testutil

// gtest prints std::wstring through this.
std::ostream& operator<<(std::ostream& out, const std::wstring& text);
