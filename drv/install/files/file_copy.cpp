#include "files/files.h"
HRESULT CopyComponentFile(InstallSession&, const wchar_t*, const wchar_t*, wchar_t*, size_t, bool) { return E_FAIL; }  // TODO(stub)
HANDLE OpenDestinationWithRetry(InstallSession&, const wchar_t*) { return INVALID_HANDLE_VALUE; }  // TODO(stub)
