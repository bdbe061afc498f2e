// SHA-256 (FIPS 180-4) over bytes fed in pieces: the fingerprint a kept file
// of the previous installation is checked against before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha256 {
  uint32_t state[8];
  uint64_t bytes;
  uint8_t block[64];
  uint32_t filled;
};

void Sha256Begin(Sha256& hash);
void Sha256Add(Sha256& hash, const void* data, size_t bytes);
void Sha256End(Sha256& hash, uint8_t digest[32]);
