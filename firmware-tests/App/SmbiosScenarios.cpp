// The riser's SMBIOS slot record in a LoadImage run: the records are added,
// the driver is loaded, and the SMBIOS trigger is installed twice (the
// phases and their checks: SmbiosChecks.h).
#include "SmbiosChecks.h"
#include "BoardTriggers.h"
#include "DriverUnderTest.h"
#include "StandIns.h"

namespace {

SmbiosSlotRun gRun;

VOID RunSmbios(bool Riser) {
  EFI_SMBIOS_PROTOCOL *Smbios = LocateSmbios();
  if (Smbios == nullptr || !AddSlotsAndSnapshot(Smbios, gRun)) {
    return;
  }
  bool Hob = true;
  if (Riser) {
    Hob = HobListOverride::InstallWithRiser(1);
  } else {
    VOID *List = HobListOverride::FirmwareHobList();
    Hob = Check("firmware-hob-list-no-riser",
                List != nullptr && HobListOverride::FindGuidHob(List, RiserCardHobGuid) == nullptr,
                List == nullptr ? "no HOB list" : "OVMF has a riser HOB");
  }
  LoadedDriver Driver;
  if (gRun.Ready && Hob && LoadAndStart("BoardSetupDxe", &Driver)) {
    CheckQuietUntilTrigger(Smbios, gRun);
    // TPL_CALLBACK: the callback has run when InstallProtocolInterface
    // returns to this TPL_APPLICATION caller.
    InstallSmbiosTrigger("trigger-installed");
    SnapshotSlotsAndTable(Smbios, gRun.AfterSlots, gRun.AfterTable);
    CheckAfterTrigger(gRun, Riser);

    // The event is closed: a second trigger changes nothing more.
    InstallSmbiosTrigger("trigger-installed-again");
    SnapshotSlotsAndTable(Smbios, gRun.AgainSlots, gRun.AgainTable);
    CheckAfterSecondTrigger(gRun);
  }
  if (Riser && Hob) {
    HobListOverride::Restore();
  }
  RemoveSlots(Smbios, gRun);
}

}  // namespace

// OVMF's own HOB list has no riser: the records stay as they were added.
VOID SmbiosNoRiserScenario() { RunSmbios(false); }

// A riser HOB: the first Slot ID 7 record names the riser, in GetNext and in
// the published table alike.
VOID SmbiosRiserScenario() { RunSmbios(true); }
