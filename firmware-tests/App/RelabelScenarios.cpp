// Setup form relabeling on the real DXE core, LoadImage runs: the stand-in
// string protocol arrives after the driver started, the firmware's notify
// dispatch runs the callback, and the stand-in holds what the form was told
// (the checks: RelabelChecks.h).
#include "BoardTriggers.h"
#include "DriverUnderTest.h"
#include "RelabelChecks.h"

namespace {

VOID RunRelabel(const RelabelCase &C) {
  LoadedDriver Driver;
  if (!LoadAndStart("BoardSetupDxe", &Driver)) {
    return;
  }
  if (!PcdStandIn::Install(C.Pcd, C.PcdCount)) {
    return;
  }
  const bool Hob = !C.RiserHob || HobListOverride::InstallWithRiser(C.RiserFlag);

  SetupStringStandIn::Reset();
  Check("quiet-until-arrival", SetupStringStandIn::Count() == 0,
        Line().Dec(SetupStringStandIn::Count()).Str(" string calls before the protocol arrived"));
  EFI_HANDLE First = nullptr;
  const EFI_STATUS Status = SetupStringStandIn::Install(&First);
  const UINTN AfterFirst = SetupStringStandIn::Count();
  Info(Line().Str("SetupStringProtocol installed: ").Status(Status).Str(", ").Dec(AfterFirst)
           .Str(" string calls before InstallProtocolInterface returned"));
  if (SetupStringStandIn::EarlierCopyCalls() != 0) {
    Info(Line().Str("copies loaded by earlier scenarios made ")
             .Dec(SetupStringStandIn::EarlierCopyCalls()).Str(" more string calls on this arrival"));
  }
  if (Check("setup-string-installed", Status == EFI_SUCCESS, Line().Status(Status)) && Hob) {
    CheckRelabelArrival(C, AfterFirst, 0, PcdStandIn::Reads());

    // A second producer on another handle: the callback closed its event.
    EFI_HANDLE Second = nullptr;
    const EFI_STATUS Again = SetupStringStandIn::Install(&Second);
    Check("second-arrival-writes-nothing",
          Again == EFI_SUCCESS && Second != First && SetupStringStandIn::Count() == AfterFirst,
          Line().Str("install ").Status(Again).Str(", ")
              .Dec(SetupStringStandIn::Count() - AfterFirst).Str(" more calls"));
    SetupStringStandIn::Uninstall(Second);
  }
  SetupStringStandIn::Uninstall(First);
  if (C.RiserHob) {
    HobListOverride::Restore();
  }
  PcdStandIn::Restore();
}

// Rows 0, 3 and 5 enabled (one with a high-bit value: any non-zero counts),
// rows 6 and 9 enabled but text-less.
constexpr PcdValue SomeSlots[] = {
    {660, 1}, {661, 0}, {662, 0}, {663, 1}, {664, 0}, {665, 0x80000000}, {666, 1},
    {667, 0}, {668, 0}, {655, 1}, {656, 0}, {657, 0}, {658, 0}, {659, 0},
};
constexpr PcdValue Slot7Only[] = {{663, 1}, {661, 1}};

}  // namespace

// No riser on QEMU: the driver walks OVMF's own HOB list and must find none.
VOID RelabelScenario() {
  VOID *List = HobListOverride::FirmwareHobList();
  Check("firmware-hob-list", List != nullptr &&
                                 HobListOverride::FindGuidHob(List, RiserCardHobGuid) == nullptr,
        List == nullptr ? "no HOB list in the configuration table" : "OVMF has a riser HOB");
  Info(Line().Str("firmware HOB list at ").Hex(reinterpret_cast<UINTN>(List)));
  RunRelabel({SomeSlots, sizeof(SomeSlots) / sizeof(SomeSlots[0]), false, 0, true});
}

VOID RelabelRiserScenario() {
  RunRelabel({Slot7Only, sizeof(Slot7Only) / sizeof(Slot7Only[0]), true, 1, false});
}

VOID RelabelRiserFlagClearScenario() {
  RunRelabel({Slot7Only, sizeof(Slot7Only) / sizeof(Slot7Only[0]), true, 0, false});
}
