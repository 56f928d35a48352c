// Stand-in SetupStringProtocol: records every hide and set, with the task
// priority it ran at and whether the caller is the driver under test.
#include "SetupStringProtocol.h"
#include "Caller.h"
#include "SetupForm.h"
#include "StandIns.h"

namespace {

EFI_TPL CurrentTpl() {
  const EFI_TPL Tpl = gApp.BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  gApp.BootServices->RestoreTPL(Tpl);
  return Tpl;
}

VOID Record(SetupStringOp::Kind K, const CHAR8 *Form, UINT16 Id, const CHAR8 *Text,
            const VOID *ReturnAddress) {
  SetupStringLog &Log = *StandInLogs::SetupStrings();
  switch (CallerOf(ReturnAddress)) {
    case Caller::Firmware:
      ++Log.FirmwareCalls;
      return;
    case Caller::DriverUnderTest:
      break;
  }
  if (Log.Count == SetupStringLog::MaxOps) {
    Log.Overflow = true;
    return;
  }
  Log.Ops[Log.Count++] = {K, Id, Form, Text, CurrentTpl()};
}

EFI_STATUS EFIAPI HideString(const CHAR8 *FormName, UINT16 StringId) {
  SetupFormHide(StringId);
  Record(SetupStringOp::Kind::Hide, FormName, StringId, nullptr, __builtin_return_address(0));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetString(const CHAR8 *FormName, UINT16 StringId, const CHAR8 *Text) {
  SetupFormSet(StringId, Text);
  Record(SetupStringOp::Kind::Set, FormName, StringId, Text, __builtin_return_address(0));
  return EFI_SUCCESS;
}

// One interface record per installation: a second arrival is a second
// producer, as on a real platform.
constexpr UINTN MaxInstalls = 16;
InstalledStandIns<SETUP_STRING_PROTOCOL, MaxInstalls> gInstalled;

}  // namespace

namespace SetupStringStandIn {

VOID Reset() {
  SetupStringLog &Log = *StandInLogs::SetupStrings();
  Log.Count = 0;
  Log.Overflow = false;
  Log.FirmwareCalls = 0;
}

EFI_STATUS Install(EFI_HANDLE *Handle) {
  return gInstalled.Install(SetupStringProtocolGuid, {HideString, nullptr, SetString}, Handle);
}

}  // namespace SetupStringStandIn
