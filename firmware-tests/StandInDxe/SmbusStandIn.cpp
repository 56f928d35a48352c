// Stand-in SMBus host controller: one device at the expander's address,
// answering a byte read with the byte the scenario chose. Records every
// Execute of the driver under test with the arguments as they arrived.
#include "BoardExpectations.h"
#include "Caller.h"
#include "StandIns.h"
#include "Uefi/Smbus.h"

namespace {

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
  *static_cast<UINT8 *>(Buffer) = StandInLogs::Smbus()->Answer;
  *Length = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Execute(const EFI_SMBUS_HC_PROTOCOL *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                          EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                          BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
  (VOID) This;
  SmbusLog &Log = *StandInLogs::Smbus();
  switch (CallerOf(__builtin_return_address(0))) {
    case Caller::Firmware:
      ++Log.FirmwareCalls;
      break;
    case Caller::DriverUnderTest:
      if (Log.Count < SmbusLog::MaxCalls) {
        Log.Calls[Log.Count] = {SlaveAddress.SmbusDeviceAddress,
                          Command,
                          static_cast<UINT32>(Operation),
                          PecCheck,
                          Length != nullptr,
                          Length != nullptr ? *Length : 0,
                          Buffer != nullptr,
                          Buffer != nullptr ? *static_cast<const UINT8 *>(Buffer) : UINT8{0},
                          CurrentTpl()};
      }
      ++Log.Count;
      break;
  }
  return Answer(SlaveAddress, Operation, Length, Buffer);
}

constexpr UINTN MaxInstalls = 8;
InstalledStandIns<EFI_SMBUS_HC_PROTOCOL, MaxInstalls> gInstalled;

}  // namespace

namespace SmbusStandIn {

VOID Reset(UINT8 Byte) {
  SmbusLog &Log = *StandInLogs::Smbus();
  Log.Count = 0;
  Log.FirmwareCalls = 0;
  Log.Answer = Byte;
}

// Execute is all a reader of one device needs; the ARP slots stay empty.
EFI_STATUS Install(EFI_HANDLE *Handle) {
  return gInstalled.Install(EFI_SMBUS_HC_PROTOCOL_GUID, {Execute, nullptr, nullptr, nullptr},
                            Handle);
}

}  // namespace SmbusStandIn
