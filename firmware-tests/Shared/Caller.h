// Who called a stand-in, told by the return address. The stand-ins record
// only the calls of the driver under test: BoardSetupDxe as the DXE
// dispatcher started it from the firmware volume (DispatchedImages.h).
#pragma once

#include "Uefi/Base.h"

// The driver under test, or anything else: the firmware itself.
enum class Caller : UINT8 { DriverUnderTest, Firmware };
Caller CallerOf(const VOID *ReturnAddress);
bool InsideDriverUnderTest(const VOID *Address);

// Where an image lies in memory, from its EFI_LOADED_IMAGE_PROTOCOL.
struct ImageRange {
  UINTN Base;
  UINTN Size;
  bool Contains(const VOID *Address) const {
    const auto A = reinterpret_cast<UINTN>(Address);
    return A >= Base && A < Base + Size;
  }
};
