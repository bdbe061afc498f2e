// PendingDeleteList: full paths of files whose deletion is still outstanding.
#pragma once

#include <windows.h>

struct InstallSession;

// PendingDeleteList: full paths of files whose deletion is still outstanding,
// newest first. Nodes and paths live on the Windows global heap.
struct PendingDelete {
  wchar_t* path;  // null for an empty path
  PendingDelete* next;
};

void AddPendingDelete(PendingDelete** head, const wchar_t* path);
void DeleteFileTry(InstallSession& session);
void ReleasePendingDeletes(PendingDelete** head);
