// Host implementation of the hardware seam: every access goes to the
// current simulated platform, which models it and records it in order.
#include "Hal/IoAccess.h"
#include "Simulator/Platform.h"

UINT8 IoRead8(UINT16 Port) { return Sim::Platform::Current().IoRead8(Port); }

VOID IoWrite8(UINT16 Port, UINT8 Value) { Sim::Platform::Current().IoWrite8(Port, Value); }

UINT8 MmioRead8(UINTN Address) {
  return static_cast<UINT8>(Sim::Platform::Current().MmioRead(Address, 8));
}

VOID MmioWrite8(UINTN Address, UINT8 Value) {
  Sim::Platform::Current().MmioWrite(Address, 8, Value);
}

UINT32 MmioRead32(UINTN Address) { return Sim::Platform::Current().MmioRead(Address, 32); }
