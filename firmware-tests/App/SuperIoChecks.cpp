// Super I/O device options on the real firmware: the "Setup" variable is
// stored with OVMF's own SetVariable, the Super I/O trigger is installed
// after the driver started, and QEMU captures every byte written to ports
// 0x2E and 0x2F. The runner compares them with expected/sio.port2e/.port2f;
// port 0x2F reads back 0xFD, so the read-modify-write of register 0xF2 must
// write 0xFF.
#include "BoardTriggers.h"
#include "DriverUnderTest.h"
#include "SetupVariable.h"

namespace {

constexpr UINTN SetupSize = 5349;
constexpr UINTN Device2Setting = 5265;
constexpr UINTN Device3Setting = 5266;
constexpr UINT32 SetupAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr CHAR16 SetupName[] = u"Setup";

UINT8 gSetup[SetupSize];
// The trigger's interface is never called: its arrival is all that counts.
UINT8 gSioTrigger;

bool InstallSioTrigger(const CHAR8 *Name) {
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gApp.BootServices->InstallProtocolInterface(
      &Handle, &SioTriggerProtocolGuid, EFI_NATIVE_INTERFACE, &gSioTrigger);
  return Check(Name, Status == EFI_SUCCESS, Line().Str("InstallProtocolInterface ").Status(Status));
}

}  // namespace

// Settings 2 and 6: devices 2 and 3 programmed between one enter and one
// exit; a second trigger finds the event closed and adds no byte.
VOID SuperIoScenario() {
  gSetup[Device2Setting] = 2;
  gSetup[Device3Setting] = 6;
  EFI_RUNTIME_SERVICES *Rt = gApp.SystemTable->RuntimeServices;
  const EFI_STATUS Stored = Rt->SetVariable(SetupName, &SetupVariableGuid, SetupAttributes,
                                            SetupSize, gSetup);
  Info(Line().Str("SetVariable(\"Setup\", ").Dec(SetupSize).Str(" bytes, byte 5265 = 2, byte 5266 = 6) = ")
           .Status(Stored));
  if (!Check("variable-stored", Stored == EFI_SUCCESS, Line().Str("SetVariable ").Status(Stored))) {
    return;
  }
  LoadedDriver Driver;
  if (!LoadAndStart("BoardSetupDxe", &Driver)) {
    return;
  }
  if (InstallSioTrigger("trigger-installed")) {
    Info(Line().Str("Super I/O trigger installed; the runner checks the port bytes"));
  }
  InstallSioTrigger("trigger-installed-again");
}

// No "Setup" variable: the enter and exit keys only.
VOID SuperIoNoVariableScenario() {
  EFI_RUNTIME_SERVICES *Rt = gApp.SystemTable->RuntimeServices;
  const EFI_STATUS Deleted = Rt->SetVariable(SetupName, &SetupVariableGuid, 0, 0, nullptr);
  Info(Line().Str("SetVariable(\"Setup\", delete) = ").Status(Deleted));
  Check("variable-deleted", Deleted == EFI_SUCCESS, Line().Str("SetVariable ").Status(Deleted));
  LoadedDriver Driver;
  if (!LoadAndStart("BoardSetupDxe", &Driver)) {
    return;
  }
  InstallSioTrigger("trigger-installed");
}
