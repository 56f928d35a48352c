// Stand-in SetupStringProtocol: records every hide and set, with the task
// priority it ran at and whether the caller is the driver under test.
#include "SetupStringProtocol.h"
#include "DriverUnderTest.h"
#include "StandIns.h"

namespace {

constexpr UINTN MaxOps = 160;
SetupStringOp gOps[MaxOps];
UINTN gCount;
bool gOverflow;
UINTN gEarlierCopyCalls;
UINTN gFirmwareCalls;

EFI_TPL CurrentTpl() {
  const EFI_TPL Tpl = gApp.BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  gApp.BootServices->RestoreTPL(Tpl);
  return Tpl;
}

VOID Record(SetupStringOp::Kind K, const CHAR8 *Form, UINT16 Id, const CHAR8 *Text,
            const VOID *ReturnAddress) {
  switch (CallerOf(ReturnAddress)) {
    case Caller::EarlierCopy:
      ++gEarlierCopyCalls;
      return;
    case Caller::Firmware:
      ++gFirmwareCalls;
      return;
    case Caller::DriverUnderTest:
      break;
  }
  if (gCount == MaxOps) {
    gOverflow = true;
    return;
  }
  gOps[gCount++] = {K, Id, Form, Text, CurrentTpl()};
}

EFI_STATUS EFIAPI HideString(const CHAR8 *FormName, UINT16 StringId) {
  Record(SetupStringOp::Kind::Hide, FormName, StringId, nullptr, __builtin_return_address(0));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetString(const CHAR8 *FormName, UINT16 StringId, const CHAR8 *Text) {
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
  gCount = 0;
  gOverflow = false;
  gEarlierCopyCalls = 0;
  gFirmwareCalls = 0;
}

EFI_STATUS Install(EFI_HANDLE *Handle) {
  return gInstalled.Install(SetupStringProtocolGuid, {HideString, nullptr, SetString}, Handle);
}

EFI_STATUS Uninstall(EFI_HANDLE Handle) {
  return gInstalled.Uninstall(SetupStringProtocolGuid, Handle);
}

UINTN Count() { return gCount; }
const SetupStringOp &Op(UINTN Index) { return gOps[Index]; }
bool Overflowed() { return gOverflow; }
UINTN EarlierCopyCalls() { return gEarlierCopyCalls; }
UINTN FirmwareCalls() { return gFirmwareCalls; }

}  // namespace SetupStringStandIn
