// The hardware seam: the only way driver code touches ports and registers.
// Hal/X64 implements it for the images; the simulator implements it on the
// host and records every access in one ordered trace.
#pragma once

#include "Uefi/Base.h"

UINT8 IoRead8(UINT16 Port);
VOID IoWrite8(UINT16 Port, UINT8 Value);
UINT8 MmioRead8(UINTN Address);
VOID MmioWrite8(UINTN Address, UINT8 Value);
UINT32 MmioRead32(UINTN Address);
