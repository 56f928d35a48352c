// Shows the eight presence inputs of the SMBus I/O expander on the Setup
// form. Armed on two events, one per protocol it needs (the SMBus host
// controller and the Setup strings); the run at the later arrival finds both
// and does the work.
#include "BoardSetupDxe.h"
#include "BoardTables.h"
#include "SetupStringProtocol.h"
#include "Uefi/Smbus.h"

namespace {

// The expander answers one byte, one bit per input, to a byte read of its
// input register.
constexpr UINTN ExpanderSmbusAddress = 0x38;  // 7-bit, unshifted
constexpr EFI_SMBUS_DEVICE_COMMAND ExpanderInputRegister = 0;
constexpr UINTN ExpanderReadLength = 1;

}  // namespace

VOID EFIAPI ExpanderPresenceCallback(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  // Each of the two events runs this at most once.
  gBoardSetup.BootServices->CloseEvent(Event);

  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoardSetup.BootServices->LocateProtocol(&EFI_SMBUS_HC_PROTOCOL_GUID, nullptr,
                                                         &Interface)) ||
      Interface == nullptr) {
    return;
  }
  const auto *Smbus = static_cast<const EFI_SMBUS_HC_PROTOCOL *>(Interface);

  Interface = nullptr;
  if (EFI_ERROR(gBoardSetup.BootServices->LocateProtocol(&SetupStringProtocolGuid, nullptr,
                                                         &Interface)) ||
      Interface == nullptr) {
    return;
  }
  const auto *Strings = static_cast<const SETUP_STRING_PROTOCOL *>(Interface);

  // Bits 7-63 of the address word are reserved: zero them all.
  EFI_SMBUS_DEVICE_ADDRESS Address{};
  Address.SmbusDeviceAddress = ExpanderSmbusAddress;
  UINTN Length = ExpanderReadLength;
  UINT8 Inputs = 0;
  if (EFI_ERROR(Smbus->Execute(Smbus, Address, ExpanderInputRegister, EfiSmbusReadByte, FALSE,
                               &Length, &Inputs))) {
    // A byte that was not read says nothing: the form keeps its own text.
    return;
  }

  // Kept rolled: eight unrolled indirect calls cost the image a file page.
#pragma GCC unroll 1
  for (const UINT16 Label : ExpanderPresenceLabels) {
    Strings->SetString(SetupFormName, Label, (Inputs & 1) != 0 ? ExpanderInputHigh : ExpanderInputLow);
    Inputs >>= 1;
  }
}
