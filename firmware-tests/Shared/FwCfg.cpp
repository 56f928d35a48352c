// The scenario through QEMU's firmware configuration device: the runner
// passes `-fw_cfg name=opt/board-tests/dispatch,string=<scenario>`. No file
// system and no rebuild is needed to choose what one QEMU run plays.
#include "Hal/IoAccess.h"
#include "TestApp.h"

namespace {

// Legacy I/O interface of the device: a 16-bit selector, an 8-bit data port.
constexpr UINT16 FwCfgSelectorPort = 0x510;
constexpr UINT16 FwCfgDataPort = 0x511;
constexpr UINT16 FwCfgSignatureItem = 0x0000;
constexpr UINT16 FwCfgFileDirectoryItem = 0x0019;
constexpr UINT32 FwCfgSignature = 0x554D4551;  // "QEMU", read as little-endian bytes
constexpr UINTN FwCfgFileNameLength = 56;
// The selector is a 16-bit register; the seam only carries byte accesses.
VOID Select(UINT16 Item) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Item), "Nd"(FwCfgSelectorPort));
}

UINT32 ReadBigEndian(UINTN Bytes) {
  UINT32 Value = 0;
  for (UINTN I = 0; I < Bytes; ++I) {
    Value = (Value << 8) | IoRead8(FwCfgDataPort);
  }
  return Value;
}

}  // namespace

UINTN ReadFwCfgText(const CHAR8 *FileName, CHAR8 *Out, UINTN Capacity) {
  if (Capacity == 0) {
    return 0;
  }
  Out[0] = 0;
  Select(FwCfgSignatureItem);
  UINT32 Signature = 0;
  for (UINTN I = 0; I < 4; ++I) {
    Signature |= static_cast<UINT32>(IoRead8(FwCfgDataPort)) << (8 * I);
  }
  if (Signature != FwCfgSignature) {
    return 0;
  }
  Select(FwCfgFileDirectoryItem);
  const UINT32 Files = ReadBigEndian(4);
  for (UINT32 F = 0; F < Files; ++F) {
    const UINT32 Size = ReadBigEndian(4);
    const auto Item = static_cast<UINT16>(ReadBigEndian(2));
    ReadBigEndian(2);  // reserved
    CHAR8 Name[FwCfgFileNameLength];
    for (UINTN I = 0; I < FwCfgFileNameLength; ++I) {
      Name[I] = static_cast<CHAR8>(IoRead8(FwCfgDataPort));
    }
    Name[FwCfgFileNameLength - 1] = 0;
    if (!TextEqual(Name, FileName)) {
      continue;
    }
    Select(Item);
    UINTN Length = 0;
    for (UINT32 I = 0; I < Size; ++I) {
      const auto C = static_cast<CHAR8>(IoRead8(FwCfgDataPort));
      if (C == 0 || C == '\n' || Length + 1 == Capacity) {
        break;
      }
      Out[Length++] = C;
    }
    Out[Length] = 0;
    return Length;
  }
  return 0;
}
