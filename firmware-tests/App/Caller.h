// Who called a stand-in, told by the return address. The stand-ins record
// only the calls of the driver under test; each build that links them says
// which image that is (DriverUnderTest.cpp: the copy the running scenario
// loaded with LoadImage; the dispatch boot: the copy the DXE dispatcher
// started from the firmware volume).
#pragma once

#include "Uefi/Base.h"

// The driver under test, a copy loaded by an earlier scenario (still armed
// for what it has not seen yet), or anything else: the firmware itself.
enum class Caller : UINT8 { DriverUnderTest, EarlierCopy, Firmware };
Caller CallerOf(const VOID *ReturnAddress);
bool InsideDriverUnderTest(const VOID *Address);  // any copy of our driver

// Where an image lies in memory, from its EFI_LOADED_IMAGE_PROTOCOL.
struct ImageRange {
  UINTN Base;
  UINTN Size;
  bool Contains(const VOID *Address) const {
    const auto A = reinterpret_cast<UINTN>(Address);
    return A >= Base && A < Base + Size;
  }
};
