// Firmware implementation of the hardware seam: x86 port instructions and
// volatile single accesses to physical addresses (identity-mapped in DXE and
// SMM), each exactly the width asked for.
#include "Hal/IoAccess.h"

namespace {
// The one place in the project where a physical address becomes a pointer.
template <typename T>
volatile T *Physical(UINTN Address) {
  return reinterpret_cast<volatile T *>(Address);  // NOLINT(performance-no-int-to-ptr)
}
}  // namespace

UINT8 IoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID IoWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

UINT8 MmioRead8(UINTN Address) { return *Physical<UINT8>(Address); }

VOID MmioWrite8(UINTN Address, UINT8 Value) { *Physical<UINT8>(Address) = Value; }

UINT32 MmioRead32(UINTN Address) { return *Physical<UINT32>(Address); }
