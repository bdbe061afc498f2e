// fake::World: the blocks of the process heap and the global heap that the
// program takes through the seam, so that a test sees a block never given
// back. The blocks themselves come from Windows.
#include "support/fake_world.h"

#include <set>

#include "support/fake_world_internal.h"

namespace fake {

using namespace world_internal;

namespace {

std::set<const void*>& Live() {
  static std::set<const void*> blocks;
  return blocks;
}

}  // namespace

int World::LiveBlocks() const { return static_cast<int>(Live().size()); }

void World::InstallMemoryHooks() {
  Live().clear();
  Set<&Platform::HeapAlloc>([](HANDLE heap, DWORD flags, SIZE_T bytes) -> LPVOID {
    void* block = ::HeapAlloc(heap, flags, bytes);
    if (block) Live().insert(block);
    return block;
  });
  Set<&Platform::HeapReAlloc>([](HANDLE heap, DWORD flags, LPVOID old, SIZE_T bytes) -> LPVOID {
    void* block = ::HeapReAlloc(heap, flags, old, bytes);
    if (block) {
      Live().erase(old);
      Live().insert(block);
    }
    return block;
  });
  Set<&Platform::HeapFree>([](HANDLE heap, DWORD flags, LPVOID block) -> BOOL {
    Live().erase(block);
    return ::HeapFree(heap, flags, block);
  });
  Set<&Platform::GlobalAlloc>([](UINT flags, SIZE_T bytes) -> HGLOBAL {
    HGLOBAL block = ::GlobalAlloc(flags, bytes);
    if (block) Live().insert(block);
    return block;
  });
  Set<&Platform::GlobalFree>([](HGLOBAL block) -> HGLOBAL {
    Live().erase(block);
    return ::GlobalFree(block);
  });
}

}  // namespace fake
