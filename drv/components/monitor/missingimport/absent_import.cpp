// Linked into the missing-import monitor variant only: a reference the
// loader must resolve before the monitor's code runs.
extern "C" __declspec(dllimport) int __cdecl LmxAbsentProbe(void);

namespace {
// A dynamic initializer keeps the import in the image with any linker.
const int kAbsentProbe = LmxAbsentProbe();
}  // namespace
