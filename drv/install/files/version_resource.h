// The version resource of a file: what the monitor plan and the status
// commands read to tell one build of a component from another.
#pragma once

#include <cstdint>

// The fourth part of the file's product version (0 to 65535), or -1 when
// the file has no readable version resource.
int32_t FileBuildNumber(const wchar_t* path);
