#include "session/pending_deletes.h"

#include <cwchar>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "session/log.h"
#include "session/session.h"

namespace {

void FreeNode(PendingDelete* node) {
  if (node->path) FreeGlobalBlock(node->path);
  FreeGlobalBlock(node);
}

}  // namespace

PendingDeleteList::~PendingDeleteList() { ReleasePendingDeletes(*this); }

PendingDeleteList& PendingDeleteList::operator=(PendingDeleteList&& other) noexcept {
  if (this != &other) {
    ReleasePendingDeletes(*this);
    head = other.head;
    other.head = nullptr;
  }
  return *this;
}

void AddPendingDelete(PendingDeleteList& list, const wchar_t* path) {
  for (PendingDelete* node = list.head; node; node = node->next) {
    const wchar_t* listed = node->path ? node->path : L"";
    if (std::wcscmp(listed, path ? path : L"") == 0) return;
  }
  UniqueGlobal<PendingDelete> node(
      static_cast<PendingDelete*>(Os().GlobalAlloc(GPTR, sizeof(PendingDelete))));
  if (!node) return;
  node.get()->path = nullptr;
  size_t n = path ? std::wcslen(path) : 0;
  if (n > 0) {
    // A node without its path would later be taken for an empty path.
    node.get()->path = static_cast<wchar_t*>(Os().GlobalAlloc(GPTR, (n + 1) * sizeof(wchar_t)));
    if (!node.get()->path) return;
    std::wmemcpy(node.get()->path, path, n);
  }
  node.get()->next = list.head;
  list.head = node.release();
}

void DeleteFileTry(InstallSession& session) {
  LogLine(session, L"DeleteFile-try");
  PendingDelete** link = &session.PendingDeletes.head;
  while (PendingDelete* node = *link) {
    bool gone = Os().DeleteFileW(node->path ? node->path : L"") ||
                Os().GetLastError() == ERROR_FILE_NOT_FOUND;
    if (gone) {
      *link = node->next;
      FreeNode(node);
    } else {
      link = &node->next;
    }
  }
}

void ReleasePendingDeletes(PendingDeleteList& list) {
  for (PendingDelete* node = list.head; node;) {
    PendingDelete* next = node->next;
    FreeNode(node);
    node = next;
  }
  list.head = nullptr;
}
