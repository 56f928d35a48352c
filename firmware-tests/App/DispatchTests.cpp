// The bench's application: learn the scenario, tell the host which trace
// region is which port, check the DXE side in board order, then hand over to
// the SMM part (on a firmware without SMM: check that nothing of it ran, and
// end the boot).
#include "DispatchApp.h"
#include "DispatchBoot.h"
#include "Hal/IoAccess.h"
#include "SioConfigAccess.h"
#include "SetupForm.h"
#include "SmmTestProtocol.h"

TestApp gApp;

namespace {

// The application's own checks and report lines.
constexpr Section App{"app"};

CHAR8 gScenarioName[DispatchBoot::MaxScenarioName + 1];
DispatchContext gContext;
// The stand-in's own check counts, kept here: its record lives in
// boot-services memory, which the DONE line may outlive.
UINTN gStandInPassed;
UINTN gStandInFailed;

// The opening sequence of the port trace: a marker on the APM data port
// (it raises no SMI), then one read of each debugcon port in a fixed order.
// The host learns from it which of the identically named trace regions is
// which port.
VOID IdentifyPorts() {
  IoWrite8(SmmTest::ApmDataPort, SmmTest::IdentifyPortsMarker);
  const UINT8 Index = IoRead8(SioIndexPort);
  const UINT8 Data = IoRead8(SioDataPort);
  const UINT8 Log = IoRead8(DispatchBoot::LogPort);
  App.Info(Line().Str("port readbacks: 0x2E ").Hex(Index, 2).Str(", 0x2F ").Hex(Data, 2)
               .Str(", log ").Hex(Log, 2));
}

const DxeStandInRecord *LocateRecord() {
  VOID *Interface = nullptr;
  const EFI_STATUS Status =
      gApp.BootServices->LocateProtocol(&DxeStandInRecordGuid, nullptr, &Interface);
  const auto *Record = static_cast<const DxeStandInRecord *>(Interface);
  const bool Found = !EFI_ERROR(Status) && Record != nullptr &&
                     Record->Signature == DxeStandInRecordSignature;
  App.Check("stand-in-record", Found,
            Line().Str("LocateProtocol = ").Status(Status).Str(": the DXE stand-in did not run"));
  if (!Found) {
    return nullptr;
  }
  gStandInPassed = Record->Passed;
  gStandInFailed = Record->Failed;
  return Record;
}

}  // namespace

VOID EmitDone() {
  Emit(Line().Str("DONE ").Dec(gApp.Passed + gStandInPassed).Str(" passed, ")
           .Dec(gApp.Failed + gStandInFailed).Str(" failed"));
}

[[noreturn]] VOID FinishBoot() {
  EmitDone();
  gApp.SystemTable->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  for (;;) {
    __asm__ __volatile__("hlt");
  }
}

extern "C" EFI_STATUS EFIAPI DispatchTestsEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable) {
  gApp.ImageHandle = ImageHandle;
  gApp.SystemTable = SystemTable;
  gApp.BootServices = SystemTable->BootServices;
  // The boot manager arms a watchdog for boot options; a slow emulated boot
  // must end by our own power-off or the host's time limit, not a reset.
  gApp.BootServices->SetWatchdogTimer(0, 0, 0, nullptr);
  IdentifyPorts();

  ScenarioName(gScenarioName);
  gContext.Scenario = FindDxeScenario(gScenarioName);
  Line Start;
  Start.Str("scenario ").Str(gScenarioName).Str(", firmware ");
  Start.Wide(SystemTable->FirmwareVendor).Str(" rev ").Hex(SystemTable->FirmwareRevision);
  App.Info(Start);
  gContext.Record = LocateRecord();
  if (App.Check("scenario-known", gContext.Scenario != nullptr,
                Line().Str("no scenario ").Quoted(gScenarioName)) &&
      gContext.Record != nullptr) {
    StandInLogs::Use(gContext.Record->Strings, gContext.Record->Pcd, gContext.Record->Smbus);
    // The DXE sections, in board order.
    CheckDispatch({"dispatch"}, gContext);
    if (gContext.BoardSetupFound) {
      CheckRelabel({"relabel"}, gContext);
      CheckExpander({"expander"}, gContext);
      CheckSuperIo({"superio"}, gContext);
      CheckSmbios({"smbios"}, gContext);
      CheckNic({"nic"}, gContext);
    }
    ShowSetupPages({"pages"}, *gContext.Scenario);
  }

  Emit(Line().Str("PHASE ").Str(DispatchBoot::SmmPhase));
  const Bench::Scenario *Known = DispatchBoot::FindScenario(gScenarioName);
  if (Known == nullptr || Known->Smm) {
    RunSmmHandlerPhase();
  }
  CheckWithoutSmm({"smm-without-smm"});
  FinishBoot();
}
