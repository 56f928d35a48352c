// Test bench only, never product code: the platform around BoardSetupDxe in
// the dispatch boot. A DXE driver in the firmware volume whose dependency
// expression orders it after BoardSetupDxe (it names BoardNicInfoProtocol),
// so the DXE dispatcher starts it once the driver under test is armed. At
// its entry it plays, for the scenario QEMU names, what OVMF lacks: our PCD
// values, a riser-card HOB, the "Setup" variable, the board's SMBIOS slot
// records, and the arrivals the driver waits for (SetupStringProtocol, an
// SMBus host controller, the Super I/O and SMBIOS triggers) in the
// scenario's order. It records what the driver did and publishes the record
// for the application (DxeStandInRecord.h); its own checks go to the log.
#include "BoardNicInfoProtocol.h"
#include "BoardTriggers.h"
#include "DispatchBoot.h"
#include "DispatchedImages.h"
#include "DxeStandInRecord.h"
#include "SetupForm.h"
#include "SetupVariable.h"

TestApp gApp;

namespace {

// The stand-in's sections: its own, and the parts it plays before the
// application checks them.
constexpr Section StandIn{"standin"};
constexpr Section SuperIo{"superio"};
constexpr Section SmbiosSection{"smbios"};

DxeStandInRecord gRecord;
UINT8 gSioTrigger;  // never called: the arrival is all that counts

VOID Arrived(const Section &Sec, const CHAR8 *Producer, EFI_STATUS Status) {
  const UINTN Strings = SetupStringStandIn::Count();
  const UINTN Reads = SmbusStandIn::Count();
  const UINTN Pcd = PcdStandIn::Reads();
  if (gRecord.ArrivalCount < DxeStandInRecord::MaxArrivals) {
    gRecord.Arrivals[gRecord.ArrivalCount++] = {Producer, Status, Strings, Reads, Pcd};
  }
  Sec.Info(Line().Str(Producer).Str(" installed: ").Status(Status).Str("; the driver so far: ")
               .Dec(Strings).Str(" string calls, ").Dec(Reads).Str(" SMBus reads, ").Dec(Pcd)
               .Str(" PCD reads"));
}

// What the dependency expression named is there, and BoardSetupDxe, which
// publishes the first of them, was started before this driver.
VOID CheckOwnDispatch(EFI_HANDLE ImageHandle) {
  bool Held = true;
  for (UINTN I = 0; I < DxeStandInDepexCount; ++I) {
    VOID *Interface = nullptr;
    gRecord.DepexLookups[I] =
        gApp.BootServices->LocateProtocol(DxeStandInDepex[I], nullptr, &Interface);
    Held = Held && !EFI_ERROR(gRecord.DepexLookups[I]);
    if (I == 0) {
      gRecord.NicInterface = Interface;
    }
  }
  StandIn.Check("depex-held", Held, "a protocol the dependency expression names is not installed");

  DispatchedImage Board{};
  DispatchedImage Self{};
  gRecord.BoardSetupFound = FindDispatchedImage(DispatchBoot::BoardSetupDxeFile, &Board);
  const bool SelfFound = FindDispatchedImage(DispatchBoot::DxeStandInFile, &Self);
  if (gRecord.BoardSetupFound) {
    gRecord.BoardSetupImage = Board.Handle;
    gRecord.BoardSetupRange = Board.Range();
    SetDriverUnderTest(gRecord.BoardSetupRange);
    StandIn.Info(Line().Str("BoardSetupDxe at ").Hex(Board.Range().Base).Str(", ")
                     .Dec(Board.Range().Size)
                     .Str(" bytes, loaded image ").Dec(Board.Position)
                     .Str("; this stand-in: loaded image ")
                     .Dec(Self.Position));
  }
  StandIn.Check("board-setup-dxe-started-before",
                gRecord.BoardSetupFound && SelfFound && Self.Handle == ImageHandle &&
                    Board.Position < Self.Position,
                !gRecord.BoardSetupFound
                    ? "no image loaded from BoardSetupDxe's firmware file"
                    : "loaded after this stand-in, or this stand-in not found");
  StandIn.Check("nic-protocol-published-before",
                gRecord.BoardSetupRange.Contains(gRecord.NicInterface),
                Line().Str("BoardNicInfoProtocol at ")
                    .Hex(reinterpret_cast<UINTN>(gRecord.NicInterface))
                    .Str(", not in BoardSetupDxe's image"));
}

VOID PlaySetupVariable(const DxeScenario &S) {
  EFI_RUNTIME_SERVICES *Rt = gApp.SystemTable->RuntimeServices;
  if (!S.SetupVariable) {
    // A fresh variable store has none; a stale one from a boot by hand goes.
    gRecord.SetupVariable = Rt->SetVariable(SetupVariableName, &SetupVariableGuid, 0, 0, nullptr);
    StandIn.Check("no-setup-variable",
                  gRecord.SetupVariable == EFI_SUCCESS || gRecord.SetupVariable == EFI_NOT_FOUND,
                  Line().Str("SetVariable(delete) ").Status(gRecord.SetupVariable));
    return;
  }
  static UINT8 Setup[SetupVariableSize];
  Setup[Device2SettingOffset] = S.Device2Setting;
  Setup[Device3SettingOffset] = S.Device3Setting;
  gRecord.SetupVariable = Rt->SetVariable(SetupVariableName, &SetupVariableGuid,
                                          SetupVariableAttributes, sizeof(Setup), Setup);
  StandIn.Info(Line().Str("SetVariable(\"Setup\", ").Dec(sizeof(Setup)).Str(" bytes, byte ")
                   .Dec(Device2SettingOffset).Str(" = ").Dec(S.Device2Setting).Str(", byte ")
                   .Dec(Device3SettingOffset).Str(" = ").Dec(S.Device3Setting).Str(") = ")
                   .Status(gRecord.SetupVariable));
  StandIn.Check("setup-variable-stored", gRecord.SetupVariable == EFI_SUCCESS,
                Line().Str("SetVariable ").Status(gRecord.SetupVariable));
}

VOID InstallSioTrigger(const CHAR8 *Name) {
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gApp.BootServices->InstallProtocolInterface(
      &Handle, &SioTriggerProtocolGuid, EFI_NATIVE_INTERFACE, &gSioTrigger);
  SuperIo.Check(Name, Status == EFI_SUCCESS,
                Line().Str("InstallProtocolInterface ").Status(Status));
  Arrived(SuperIo, "Super I/O trigger", Status);
}

// The arrivals, in the scenario's order. Each callback of the driver has run
// when InstallProtocolInterface returns to this TPL_APPLICATION caller.
VOID PlayArrivals(const DxeScenario &S, EFI_SMBIOS_PROTOCOL *Smbios) {
  SetupStringStandIn::Reset();
  SmbusStandIn::Reset(S.ExpanderInputs);
  for (UINTN Step = 0; Step < 2; ++Step) {
    if ((Step == 0) == S.SmbusFirst) {
      const EFI_STATUS Status = SmbusStandIn::Install(&gRecord.SmbusHandle);
      Arrived(StandIn, "SMBus host controller", Status);
    } else {
      const EFI_STATUS Status = SetupStringStandIn::Install(&gRecord.SetupStringHandle);
      Arrived(StandIn, "SetupStringProtocol", Status);
    }
  }
  InstallSioTrigger("trigger-installed");
  InstallSioTrigger("trigger-installed-again");

  if (gRecord.SmbiosAdded) {
    CheckQuietUntilTrigger(SmbiosSection, Smbios, gRecord.Smbios);
  }
  InstallSmbiosTrigger(SmbiosSection, "trigger-installed");
  Arrived(SmbiosSection, "SMBIOS trigger", EFI_SUCCESS);
  if (gRecord.SmbiosAdded) {
    SnapshotSlotsAndTable(Smbios, gRecord.Smbios.AfterSlots, gRecord.Smbios.AfterTable);
  }
  InstallSmbiosTrigger(SmbiosSection, "trigger-installed-again");
  Arrived(SmbiosSection, "SMBIOS trigger", EFI_SUCCESS);
  if (gRecord.SmbiosAdded) {
    SnapshotSlotsAndTable(Smbios, gRecord.Smbios.AgainSlots, gRecord.Smbios.AgainTable);
  }
}

VOID Play(const DxeScenario &S) {
  gRecord.PcdStandIn = PcdStandIn::Install(StandIn, S.Pcd, S.PcdCount);
  if (S.RiserHob) {
    gRecord.RiserHob = HobListOverride::InstallWithRiser(StandIn, S.RiserFlag);
  } else {
    VOID *List = HobListOverride::FirmwareHobList();
    StandIn.Check("firmware-hob-list-no-riser",
                  List != nullptr && HobListOverride::FindGuidHob(List,
                                                                  RiserCardHobGuid) == nullptr,
                  List == nullptr ? "no HOB list" : "OVMF has a riser HOB");
  }
  PlaySetupVariable(S);

  EFI_SMBIOS_PROTOCOL *Smbios = LocateSmbios(SmbiosSection);
  gRecord.SmbiosAdded = Smbios != nullptr && AddSlotsAndSnapshot(SmbiosSection, Smbios,
                                                                 gRecord.Smbios);
  PlayArrivals(S, Smbios);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI DxeStandInEntry(EFI_HANDLE ImageHandle,
                                             EFI_SYSTEM_TABLE *SystemTable) {
  gApp.ImageHandle = ImageHandle;
  gApp.SystemTable = SystemTable;
  gApp.BootServices = SystemTable->BootServices;
  gRecord.Signature = DxeStandInRecordSignature;
  gRecord.Strings = StandInLogs::SetupStrings();
  gRecord.Pcd = StandInLogs::Pcd();
  gRecord.Smbus = StandInLogs::Smbus();

  ScenarioName(gRecord.ScenarioName);
  gRecord.Scenario = FindDxeScenario(gRecord.ScenarioName);
  StandIn.Info(Line().Str("DXE stand-in started by the dispatcher, scenario ")
                   .Str(gRecord.ScenarioName));
  CheckOwnDispatch(ImageHandle);
  PublishSetupForm();
  if (StandIn.Check("scenario-known", gRecord.Scenario != nullptr,
                    Line().Str("no scenario ").Quoted(gRecord.ScenarioName))) {
    Play(*gRecord.Scenario);
  }

  gRecord.Passed = gApp.Passed;
  gRecord.Failed = gApp.Failed;
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gApp.BootServices->InstallProtocolInterface(
      &Handle, &DxeStandInRecordGuid, EFI_NATIVE_INTERFACE, &gRecord);
  StandIn.Check("record-published", Status == EFI_SUCCESS, Line().Status(Status));
  gRecord.Passed = gApp.Passed;
  gRecord.Failed = gApp.Failed;
  return EFI_SUCCESS;
}
