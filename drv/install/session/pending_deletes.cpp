#include "session/pending_deletes.h"

#include <cwchar>

#include "platform/platform.h"
#include "session/log.h"
#include "session/session.h"

void AddPendingDelete(PendingDelete** head, const wchar_t* path) {
  for (PendingDelete* node = *head; node; node = node->next) {
    const wchar_t* listed = node->path ? node->path : L"";
    if (std::wcscmp(listed, path ? path : L"") == 0) return;
  }
  auto* node = static_cast<PendingDelete*>(Os().GlobalAlloc(GPTR, sizeof(PendingDelete)));
  if (!node) return;
  node->path = nullptr;
  size_t n = path ? std::wcslen(path) : 0;
  if (n > 0) {
    node->path = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (n + 1) * sizeof(wchar_t)));
    if (!node->path) {
      // A node without its path would later be taken for an empty path.
      Os().GlobalFree(node);
      return;
    }
    std::wmemcpy(node->path, path, n);
  }
  node->next = *head;
  *head = node;
}

void DeleteFileTry(InstallSession& session) {
  LogLine(session, L"DeleteFile-try");
  PendingDelete** link = &session.PendingDeletes;
  while (PendingDelete* node = *link) {
    bool gone = Os().DeleteFileW(node->path ? node->path : L"") ||
                Os().GetLastError() == ERROR_FILE_NOT_FOUND;
    if (gone) {
      *link = node->next;
      if (node->path) Os().GlobalFree(node->path);
      Os().GlobalFree(node);
    } else {
      link = &node->next;
    }
  }
}

void ReleasePendingDeletes(PendingDelete** head) {
  for (PendingDelete* node = *head; node;) {
    PendingDelete* next = node->next;
    if (node->path) Os().GlobalFree(node->path);
    Os().GlobalFree(node);
    node = next;
  }
  *head = nullptr;
}
