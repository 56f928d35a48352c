// Driver entry and the SMM driver context: the service tables captured at
// load, the SMST, and the platform service whose presence the load requires.
#include "SmmPlatform.h"
#include "UsbSupportS5Smm.h"

SmmDriverContext gSmmDriverContext;

// Runs twice during the load (driver entry, then registration); the second
// run finds the tables and the base protocol already held.
SmmContextResult InitSmmDriverContext(EFI_SYSTEM_TABLE *SystemTable) {
  SmmDriverContext &C = gSmmDriverContext;
  if (C.SystemTable == nullptr) {
    C.SystemTable = SystemTable;
    C.BootServices = SystemTable->BootServices;
    C.RuntimeServices = SystemTable->RuntimeServices;
  }

  if (C.SmmBase == nullptr) {
    VOID *SmmBase = nullptr;
    const EFI_STATUS Status =
        C.BootServices->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &SmmBase);
    if (EFI_ERROR(Status)) {
      return {SmmContextEnd::Stopped, Status};
    }
    if (SmmBase == nullptr) {
      return {SmmContextEnd::Stopped, EFI_NOT_FOUND};  // found, but nothing to call
    }
    C.SmmBase = static_cast<EFI_SMM_BASE2_PROTOCOL *>(SmmBase);
  }

  BOOLEAN InSmram = FALSE;
  C.SmmBase->InSmm(C.SmmBase, &InSmram);
  if (!InSmram) {
    return {SmmContextEnd::NotInSmm, EFI_SUCCESS};
  }

  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  const EFI_STATUS SmstStatus = C.SmmBase->GetSmstLocation(C.SmmBase, &Smst);
  if (EFI_ERROR(SmstStatus)) {
    return {SmmContextEnd::Stopped, SmstStatus};
  }
  C.Smst = Smst;

  if (C.Smst != nullptr) {
    // Where the platform publishes an SMM copy of the runtime services, it
    // replaces the boot-time table, which is unusable from SMM.
    VOID *SmmRuntimeServices = FindSmmConfigurationTable(&SmmRuntimeServicesTableGuid);
    if (SmmRuntimeServices != nullptr) {
      C.RuntimeServices = static_cast<EFI_RUNTIME_SERVICES *>(SmmRuntimeServices);
    }
  }

  if (C.PlatformService != nullptr) {
    return {SmmContextEnd::Completed, EFI_SUCCESS};
  }
  if (C.Smst == nullptr) {
    return {SmmContextEnd::Completed, EFI_UNSUPPORTED};
  }
  const EFI_STATUS Status =
      C.Smst->SmmLocateProtocol(&SmmPlatformServiceProtocolGuid, nullptr, &C.PlatformService);
  if (EFI_ERROR(Status)) {
    C.PlatformService = nullptr;
  }
  return {SmmContextEnd::Completed, Status};
}

VOID *FindSmmConfigurationTable(const EFI_GUID *Guid) {
  const EFI_SMM_SYSTEM_TABLE2 *Smst = gSmmDriverContext.Smst;
  const EFI_CONFIGURATION_TABLE *Table = Smst->SmmConfigurationTable;
  if (Table == nullptr) {
    return nullptr;
  }
  for (UINTN I = 0; I < Smst->NumberOfTableEntries; ++I) {
    if (GuidEqual(Table[I].VendorGuid, *Guid)) {
      return Table[I].VendorTable;
    }
  }
  return nullptr;
}

EFI_STATUS UsbSupportS5SmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  const SmmContextResult Context = InitSmmDriverContext(SystemTable);
  if (Context.End == SmmContextEnd::Stopped) {
    return Context.Status;
  }
  if (Context.End == SmmContextEnd::NotInSmm) {
    return EFI_SUCCESS;  // loaded outside SMRAM: nothing to register
  }
  // A failed platform-service lookup gets its second chance in the
  // registration step, which reports it.
  return RegisterUsbStandbyHandler(ImageHandle, SystemTable);
}
