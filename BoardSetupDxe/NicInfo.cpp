// BoardNicInfoProtocol: the two onboard controllers' MAC addresses, read
// from their registers on every call, through PCIe enhanced configuration
// space. Nothing is cached.
#include "BoardSetupDxe.h"
#include "Hal/IoAccess.h"

namespace {

constexpr UINTN PciExpressBase = 0xC0000000;
constexpr UINTN PciBusStride = 0x100000;
constexpr UINTN PciDeviceStride = 0x8000;
constexpr UINTN PciFunctionStride = 0x1000;

constexpr UINT8 PciRegVendorDevice = 0x00;
constexpr UINT8 PciRegCommand = 0x04;  // low byte of the command register
constexpr UINT8 PciRegBar0 = 0x10;
constexpr UINT8 PciRegSubordinateBus = 0x1A;
constexpr UINT32 PciBarMemoryMask = ~UINT32{0xF};
constexpr UINT8 PciCommandMemoryAndBusMaster = 0x06;

constexpr UINT32 NicVendorDeviceId = 0x15F28086;  // vendor 0x8086, device 0x15F2
constexpr UINTN NicMacLowRegister = 0x40;
constexpr UINTN NicMacHighRegister = 0x44;

constexpr UINTN PcdNicRootPort[] = {630, 631};

// PciAddress: bus in bits 15-8, device in 7-3, function in 2-0.
UINTN PciConfigAddress(UINT16 PciAddress, UINT8 Register) {
  const UINTN Bus = PciAddress >> 8;
  const UINTN Device = (PciAddress >> 3) & 0x1F;
  const UINTN Function = PciAddress & 0x7;
  return PciExpressBase + Bus * PciBusStride + Device * PciDeviceStride +
         Function * PciFunctionStride + Register;
}

// The controller sits at device 0, function 0 of its root port's
// subordinate bus.
VOID ReadControllerBehind(UINTN RootPortToken, NicMacRecord *Record) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd == nullptr) {
    return;
  }
  const auto RootPort = static_cast<UINT16>(Pcd->Get32(RootPortToken));
  const UINT8 Bus = MmioRead8(PciConfigAddress(RootPort, PciRegSubordinateBus));
  ReadNicMac(static_cast<UINT16>(Bus << 8), Record);
}

}  // namespace

BOOLEAN EFIAPI AlwaysFalse() { return FALSE; }

EFI_STATUS ReadNicMac(UINT16 PciAddress, NicMacRecord *Record) {
  if (MmioRead32(PciConfigAddress(PciAddress, PciRegVendorDevice)) != NicVendorDeviceId) {
    return EFI_NOT_FOUND;
  }
  Record->Count += 1;
  UINT8 *Entry = reinterpret_cast<UINT8 *>(Record) + 1 + NicMacLength * (Record->Count - 1);
  for (UINTN I = 0; I < NicMacLength; ++I) {
    Entry[I] = 0;
  }

  // Memory decoding and bus mastering on, everything else off, only for the
  // duration of the register read.
  const UINT8 SavedCommand = MmioRead8(PciConfigAddress(PciAddress, PciRegCommand));
  MmioWrite8(PciConfigAddress(PciAddress, PciRegCommand), PciCommandMemoryAndBusMaster);

  const UINTN Bar = MmioRead32(PciConfigAddress(PciAddress, PciRegBar0)) & PciBarMemoryMask;
  const UINT32 Low = MmioRead32(Bar + NicMacLowRegister);
  const UINT32 High = MmioRead32(Bar + NicMacHighRegister);
  Entry[0] = static_cast<UINT8>(Low);
  Entry[1] = static_cast<UINT8>(Low >> 8);
  Entry[2] = static_cast<UINT8>(Low >> 16);
  Entry[3] = static_cast<UINT8>(Low >> 24);
  Entry[4] = static_cast<UINT8>(High);
  Entry[5] = static_cast<UINT8>(High >> 8);

  MmioWrite8(PciConfigAddress(PciAddress, PciRegCommand), SavedCommand);
  return EFI_SUCCESS;
}

// A NULL record pointer means the caller does not want that record; the
// other one is still filled and the call still succeeds.
EFI_STATUS EFIAPI GetNicMacAddresses(UINT8 *First, NicMacRecord *Second) {
  if (First != nullptr) {
    auto *FirstRecord = reinterpret_cast<NicMacRecord *>(First + NicFirstRecordOffset);
    FirstRecord->Count = 0;
    ReadControllerBehind(PcdNicRootPort[0], FirstRecord);
  }
  if (Second != nullptr) {
    Second->Count = 0;
    ReadControllerBehind(PcdNicRootPort[1], Second);
  }
  return EFI_SUCCESS;
}

const BOARD_NIC_INFO_PROTOCOL gBoardNicInfo = {
    AlwaysFalse, nullptr, GetNicMacAddresses, AlwaysFalse, {nullptr, nullptr, nullptr, nullptr, nullptr},
};
