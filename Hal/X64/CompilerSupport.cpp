// The compiler may emit calls to memset/memcpy for aggregate initialisation
// even in freestanding code; the images link no C library, so they live here.
// Volatile stores keep the optimiser from turning the loops back into calls.
#include "Uefi/Base.h"

extern "C" void *memset(void *Dest, int Value, size_t Count) {
  auto *D = static_cast<volatile UINT8 *>(Dest);
  for (size_t I = 0; I < Count; ++I) {
    D[I] = static_cast<UINT8>(Value);
  }
  return Dest;
}

extern "C" void *memcpy(void *Dest, const void *Source, size_t Count) {
  auto *D = static_cast<volatile UINT8 *>(Dest);
  const auto *S = static_cast<const UINT8 *>(Source);
  for (size_t I = 0; I < Count; ++I) {
    D[I] = S[I];
  }
  return Dest;
}
