// PendingDeleteList: full paths of files whose deletion is still outstanding.
#pragma once

#include <windows.h>

struct InstallSession;

// Newest first. Nodes and paths live on the Windows global heap; the list
// owns them, is moved but never copied, and frees them through the seam when
// it is emptied or goes out of scope.
struct PendingDelete {
  wchar_t* path;  // null for an empty path
  PendingDelete* next;
};

struct PendingDeleteList {
  PendingDeleteList() = default;
  ~PendingDeleteList();
  PendingDeleteList(PendingDeleteList&& other) noexcept : head(other.head) { other.head = nullptr; }
  PendingDeleteList& operator=(PendingDeleteList&& other) noexcept;
  PendingDeleteList(const PendingDeleteList&) = delete;
  PendingDeleteList& operator=(const PendingDeleteList&) = delete;
  explicit operator bool() const { return head != nullptr; }

  PendingDelete* head = nullptr;
};

// Adds `path` unless it is listed already (compared exactly, letter case
// included). A path that cannot be stored is not listed.
void AddPendingDelete(PendingDeleteList& list, const wchar_t* path);
// Tries each listed file once; what is gone (or was never there) leaves the
// list.
void DeleteFileTry(InstallSession& session);
// Empties the list without touching the files.
void ReleasePendingDeletes(PendingDeleteList& list);
