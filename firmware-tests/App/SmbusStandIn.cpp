// Stand-in SMBus host controller: one device at the expander's address,
// answering a byte read with the byte the scenario chose. Records every
// Execute of the driver under test with the arguments as they arrived.
#include "BoardExpectations.h"
#include "DriverUnderTest.h"
#include "StandIns.h"
#include "Uefi/Smbus.h"

namespace {

constexpr UINTN MaxCalls = 8;
SmbusCall gCalls[MaxCalls];
UINTN gCount;
UINTN gEarlierCopyCalls;
UINTN gFirmwareCalls;
UINT8 gAnswer;

EFI_TPL CurrentTpl() {
  const EFI_TPL Tpl = gApp.BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  gApp.BootServices->RestoreTPL(Tpl);
  return Tpl;
}

// The bus: only a byte read of the device at the expander's address, with
// room for one byte, is answered.
EFI_STATUS Answer(EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, EFI_SMBUS_OPERATION Operation,
                  UINTN *Length, VOID *Buffer) {
  if ((SlaveAddress.SmbusDeviceAddress & SMBUS_ADDRESS_MASK) != Expect::ExpanderAddress) {
    return EFI_DEVICE_ERROR;
  }
  if (Operation != EfiSmbusReadByte) {
    return EFI_UNSUPPORTED;
  }
  if (Length == nullptr || Buffer == nullptr || *Length < 1) {
    return EFI_INVALID_PARAMETER;
  }
  *static_cast<UINT8 *>(Buffer) = gAnswer;
  *Length = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Execute(const EFI_SMBUS_HC_PROTOCOL *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                          EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                          BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
  (VOID) This;
  switch (CallerOf(__builtin_return_address(0))) {
    case Caller::EarlierCopy:
      ++gEarlierCopyCalls;
      break;
    case Caller::Firmware:
      ++gFirmwareCalls;
      break;
    case Caller::DriverUnderTest:
      if (gCount < MaxCalls) {
        gCalls[gCount] = {SlaveAddress.SmbusDeviceAddress,
                          Command,
                          static_cast<UINT32>(Operation),
                          PecCheck,
                          Length != nullptr,
                          Length != nullptr ? *Length : 0,
                          Buffer != nullptr,
                          Buffer != nullptr ? *static_cast<const UINT8 *>(Buffer) : UINT8{0},
                          CurrentTpl()};
      }
      ++gCount;
      break;
  }
  return Answer(SlaveAddress, Operation, Length, Buffer);
}

constexpr UINTN MaxInstalls = 8;
InstalledStandIns<EFI_SMBUS_HC_PROTOCOL, MaxInstalls> gInstalled;

}  // namespace

namespace SmbusStandIn {

VOID Reset(UINT8 Byte) {
  gCount = 0;
  gEarlierCopyCalls = 0;
  gFirmwareCalls = 0;
  gAnswer = Byte;
}

// Execute is all a reader of one device needs; the ARP slots stay empty.
EFI_STATUS Install(EFI_HANDLE *Handle) {
  return gInstalled.Install(EFI_SMBUS_HC_PROTOCOL_GUID, {Execute, nullptr, nullptr, nullptr},
                            Handle);
}

EFI_STATUS Uninstall(EFI_HANDLE Handle) {
  return gInstalled.Uninstall(EFI_SMBUS_HC_PROTOCOL_GUID, Handle);
}

UINTN Count() { return gCount; }
const SmbusCall &Call(UINTN Index) { return gCalls[Index < MaxCalls ? Index : MaxCalls - 1]; }
UINTN EarlierCopyCalls() { return gEarlierCopyCalls; }
UINTN FirmwareCalls() { return gFirmwareCalls; }

}  // namespace SmbusStandIn
