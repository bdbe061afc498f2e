#include "files/files.h"
PendingRenameTable ReadPendingRenames() { return {}; }  // TODO(stub)
void ApplyPendingDeletes(PendingRenameTable&) {}
void ReleasePendingRenames(PendingRenameTable&) {}
const wchar_t* SkipNtPrefix(const wchar_t* p) { return p; }
