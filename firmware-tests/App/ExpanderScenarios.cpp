// Expander presence labels on the real DXE core, LoadImage runs: a stand-in
// SMBus host controller and the stand-in string protocol arrive after the
// driver started, in either order, and the firmware's notify dispatch runs
// the callback at each arrival. Only the later arrival may read the device
// and write the eight labels. The relabel callback shares the string
// arrival, so the PCD stand-in answers its reads; its writes never touch the
// expander's label ids.
#include "DriverUnderTest.h"
#include "ExpanderChecks.h"
#include "SetupStringProtocol.h"
#include "Uefi/Smbus.h"

namespace {

struct ExpanderCase {
  bool SmbusFirst;
  UINT8 Inputs;  // what the device answers
};

bool Absent(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  return gApp.BootServices->LocateProtocol(&Guid, nullptr, &Interface) == EFI_NOT_FOUND;
}

VOID RunExpander(const ExpanderCase &C) {
  // The other scenarios took their producers away; OVMF has none of its own.
  Check("no-smbus-before", Absent(EFI_SMBUS_HC_PROTOCOL_GUID), "an SMBus host controller is installed");
  Check("no-setup-string-before", Absent(SetupStringProtocolGuid), "a SetupStringProtocol is installed");
  if (!PcdStandIn::Install(nullptr, 0)) {
    return;
  }
  LoadedDriver Driver;
  if (LoadAndStart("BoardSetupDxe", &Driver)) {
    SmbusStandIn::Reset(C.Inputs);
    SetupStringStandIn::Reset();
    EFI_HANDLE Smbus = nullptr;
    EFI_HANDLE Strings = nullptr;
    const CHAR8 *FirstName = C.SmbusFirst ? "SMBus host controller" : "SetupStringProtocol";
    const CHAR8 *SecondName = C.SmbusFirst ? "SetupStringProtocol" : "SMBus host controller";

    const EFI_STATUS First =
        C.SmbusFirst ? SmbusStandIn::Install(&Smbus) : SetupStringStandIn::Install(&Strings);
    Info(Line().Str(FirstName).Str(" installed: ").Status(First).Str(", ")
             .Dec(SmbusStandIn::Count()).Str(" Execute calls, ").Dec(ExpanderLabelOpCount())
             .Str(" label writes"));
    Check("first-arrival-installed", First == EFI_SUCCESS, Line().Status(First));
    Check("first-arrival-writes-nothing", SmbusStandIn::Count() == 0 && ExpanderLabelOpCount() == 0,
          Line().Dec(SmbusStandIn::Count()).Str(" Execute calls, ").Dec(ExpanderLabelOpCount())
              .Str(" label writes"));

    const EFI_STATUS Second =
        C.SmbusFirst ? SetupStringStandIn::Install(&Strings) : SmbusStandIn::Install(&Smbus);
    Info(Line().Str(SecondName).Str(" installed: ").Status(Second).Str(", device answers ")
             .Hex(C.Inputs, 2).Str(", ").Dec(SmbusStandIn::Count()).Str(" Execute calls, ")
             .Dec(ExpanderLabelOpCount()).Str(" label writes before InstallProtocolInterface returned"));
    if (Check("second-arrival-installed", Second == EFI_SUCCESS, Line().Status(Second))) {
      CheckExpanderRead();
      CheckExpanderLabels(C.Inputs);
      const UINTN Others = SmbusStandIn::FirmwareCalls() + SetupStringStandIn::FirmwareCalls();
      Check("no-firmware-calls", Others == 0, Line().Dec(Others).Str(" calls from outside our drivers"));
      if (SmbusStandIn::EarlierCopyCalls() + SetupStringStandIn::EarlierCopyCalls() != 0) {
        Info(Line().Str("copies loaded by earlier scenarios: ").Dec(SmbusStandIn::EarlierCopyCalls())
                 .Str(" Execute and ").Dec(SetupStringStandIn::EarlierCopyCalls())
                 .Str(" string calls"));
      }

      // Both events are closed: further producers of either protocol are
      // never read and never written to.
      const UINTN Reads = SmbusStandIn::Count();
      const UINTN Labels = ExpanderLabelOpCount();
      EFI_HANDLE SmbusAgain = nullptr;
      EFI_HANDLE StringsAgain = nullptr;
      const EFI_STATUS A = SmbusStandIn::Install(&SmbusAgain);
      const EFI_STATUS B = SetupStringStandIn::Install(&StringsAgain);
      Check("later-arrivals-do-nothing",
            A == EFI_SUCCESS && B == EFI_SUCCESS && SmbusStandIn::Count() == Reads &&
                ExpanderLabelOpCount() == Labels,
            Line().Str("installs ").Status(A).Str("/").Status(B).Str(", ")
                .Dec(SmbusStandIn::Count() - Reads).Str(" more reads, ")
                .Dec(ExpanderLabelOpCount() - Labels).Str(" more label writes"));
      SmbusStandIn::Uninstall(SmbusAgain);
      SetupStringStandIn::Uninstall(StringsAgain);
    }
    const EFI_STATUS U1 = SmbusStandIn::Uninstall(Smbus);
    const EFI_STATUS U2 = SetupStringStandIn::Uninstall(Strings);
    Check("producers-removed",
          U1 == EFI_SUCCESS && U2 == EFI_SUCCESS && Absent(EFI_SMBUS_HC_PROTOCOL_GUID) &&
              Absent(SetupStringProtocolGuid),
          Line().Str("UninstallProtocolInterface ").Status(U1).Str("/").Status(U2));
  }
  PcdStandIn::Restore();
}

}  // namespace

// The bytes are complements of each other, so a label left from the other
// scenario's run would show as wrong text.
VOID ExpanderSmbusFirstScenario() { RunExpander({true, 0xA5}); }
VOID ExpanderStringsFirstScenario() { RunExpander({false, 0x5A}); }
