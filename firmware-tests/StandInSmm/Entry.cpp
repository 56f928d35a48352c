// The stand-in's entry. The SMM core runs it inside SMM before it locks, so
// boot services still answer (they give us the SMST, the SMRAM map and the
// report's memory). Order matters: the report first, since everything below
// writes to it; the load watch before anything can load UsbSupportS5Smm; the
// pieces its dependency expression waits for last but one, the root handler
// last.
#include "DispatchBoot.h"
#include "DispatchScenarios.h"
#include "StandInSmm.h"

namespace StandIn {

EFI_SMM_SYSTEM_TABLE2 *gSmst;
SmmTest::Report *gReport;

}  // namespace StandIn

namespace {

using namespace StandIn;

SmmTest::Report gReportInSmram;

// SmmPlatformServiceProtocol is looked up, never called: a tag is all its
// interface needs to be.
struct PlatformService {
  UINT64 Tag;
};
constinit PlatformService gPlatformService = {0x45434956524553ULL};  // "SERVICE"

VOID LogStep(const CHAR8 *What, EFI_STATUS Status) {
  Line L;
  L.Str("INFO smm-standin: ").Str(What);
  if (EFI_ERROR(Status)) {
    L.Str(" failed: ").Status(Status);
  } else {
    L.Str(" done");
  }
  Emit(L);
}

// The report lives outside SMRAM (the application reads it) in memory that
// stays mapped for SMM once it locks; published under its GUID.
VOID PublishReport(EFI_BOOT_SERVICES *BootServices) {
  VOID *Buffer = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(EfiRuntimeServicesData, sizeof(SmmTest::Report),
                                           &Buffer)) ||
      Buffer == nullptr) {
    LogStep("report allocation", EFI_OUT_OF_RESOURCES);
    return;
  }
  auto *Report = static_cast<SmmTest::Report *>(Buffer);
  *Report = {};
  const EFI_STATUS Status = BootServices->InstallConfigurationTable(&SmmTest::ReportGuid, Report);
  if (EFI_ERROR(Status)) {
    BootServices->FreePool(Report);
    LogStep("report publication", Status);
    return;
  }
  gReport = Report;
}

EFI_STATUS InstallPlatformService() {
  EFI_HANDLE Handle = nullptr;
  return gSmst->SmmInstallProtocolInterface(&Handle, &SmmPlatformServiceProtocolGuid,
                                            EFI_NATIVE_INTERFACE, &gPlatformService);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmmStandInEntry(EFI_HANDLE ImageHandle,
                                            EFI_SYSTEM_TABLE *SystemTable) {
  (VOID)ImageHandle;
  EFI_BOOT_SERVICES *Bs = SystemTable->BootServices;
  gReport = &gReportInSmram;

  VOID *Interface = nullptr;
  if (EFI_ERROR(Bs->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &Interface)) ||
      Interface == nullptr) {
    LogStep("EFI_SMM_BASE2_PROTOCOL lookup", EFI_NOT_FOUND);
    return EFI_NOT_FOUND;
  }
  auto *SmmBase = static_cast<EFI_SMM_BASE2_PROTOCOL *>(Interface);
  BOOLEAN InSmram = FALSE;
  SmmBase->InSmm(SmmBase, &InSmram);
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  if (!InSmram || EFI_ERROR(SmmBase->GetSmstLocation(SmmBase, &Smst)) || Smst == nullptr) {
    // Started as an ordinary image: nothing of this stand-in works outside SMM.
    LogStep("entry outside SMM", EFI_UNSUPPORTED);
    return EFI_UNSUPPORTED;
  }
  gSmst = Smst;

  // From here on the entry returns EFI_SUCCESS whatever fails: a failed
  // SMM driver is unloaded, and what it installed would dangle.
  PublishReport(Bs);
  SmmTest::Report &R = *gReport;
  R.Signature = SmmTest::ReportSignature;
  R.Size = sizeof(SmmTest::Report);
  R.EntryInSmm = TRUE;
  R.Smst = reinterpret_cast<UINT64>(Smst);
  ScenarioName(R.Scenario);
  RecordSmramRanges(Bs);
  BeginLoadWatch();

  const Bench::Scenario *Scenario = DispatchBoot::FindScenario(R.Scenario);
  if (Scenario != nullptr && Scenario->PlatformService) {
    const EFI_STATUS Status = InstallPlatformService();
    R.PlatformServiceInstalled = !EFI_ERROR(Status);
    LogStep("SmmPlatformServiceProtocol install", Status);
  }
  EFI_STATUS Status = InstallDispatchers();
  R.DispatchersInstalled = !EFI_ERROR(Status);
  LogStep("Sx and power-button dispatcher install", Status);
  Status = InstallGate();
  R.GateInstalled = !EFI_ERROR(Status);
  LogStep("SioAccessGate table entry", Status);
  EFI_HANDLE RootHandle = nullptr;
  Status = Smst->SmiHandlerRegister(RootSmiHandler, nullptr, &RootHandle);
  R.RootHandlerRegistered = !EFI_ERROR(Status);
  LogStep("root SMI handler registration", Status);

  Emit(Line().Str("INFO smm-standin: started in SMM by the SMM core, SMST ").Hex(R.Smst)
           .Str(", scenario ").Str(R.Scenario).Str(", report at ")
           .Hex(reinterpret_cast<UINT64>(gReport)));
  return EFI_SUCCESS;
}
