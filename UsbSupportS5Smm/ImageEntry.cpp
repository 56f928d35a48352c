// Image entry: learn the SMRAM map, run the driver entry, and give the map
// back when the load fails.
#include "UsbSupportS5Smm.h"

SmmMemoryService gSmmMemoryService;

namespace {

// The SMM core's pool serves driver allocations of this type.
constexpr EFI_MEMORY_TYPE SmramMapPoolType = EfiRuntimeServicesData;

template <typename T>
VOID **AsOut(T **Pointer) {
  return reinterpret_cast<VOID **>(Pointer);
}

// The statuses here only decide whether an interface was handed back: outside
// SMM there is no SMST, and a platform may lack either protocol, so each
// step runs only on what the previous one really produced.
VOID InitSmmMemoryService(EFI_SYSTEM_TABLE *SystemTable) {
  SmmMemoryService &M = gSmmMemoryService;
  M.SystemTable = SystemTable;
  M.BootServices = SystemTable->BootServices;

  EFI_SMM_BASE2_PROTOCOL *SmmBase = nullptr;
  if (EFI_ERROR(M.BootServices->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr,
                                               AsOut(&SmmBase)))) {
    SmmBase = nullptr;
  }
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  if (SmmBase != nullptr && EFI_ERROR(SmmBase->GetSmstLocation(SmmBase, &Smst))) {
    Smst = nullptr;
  }
  M.Smst = Smst;

  EFI_SMM_ACCESS2_PROTOCOL *SmmAccess = nullptr;
  if (EFI_ERROR(M.BootServices->LocateProtocol(&EFI_SMM_ACCESS2_PROTOCOL_GUID, nullptr,
                                               AsOut(&SmmAccess)))) {
    SmmAccess = nullptr;
  }
  if (Smst == nullptr || SmmAccess == nullptr) {
    return;
  }
  UINTN Size = 0;
  SmmAccess->GetCapabilities(SmmAccess, &Size, nullptr);
  if (Size < sizeof(EFI_SMRAM_DESCRIPTOR)) {
    return;  // no range to record
  }
  VOID *Map = nullptr;
  if (EFI_ERROR(Smst->SmmAllocatePool(SmramMapPoolType, Size, &Map)) || Map == nullptr) {
    return;
  }
  UINTN Filled = Size;
  auto *Ranges = static_cast<EFI_SMRAM_DESCRIPTOR *>(Map);
  if (EFI_ERROR(SmmAccess->GetCapabilities(SmmAccess, &Filled, Ranges))) {
    // An unfilled map would be read later as ranges; it goes back at once.
    Smst->SmmFreePool(Map);
    return;
  }
  M.SmramMap = Ranges;
  M.SmramMapCount = (Filled < Size ? Filled : Size) / sizeof(EFI_SMRAM_DESCRIPTOR);
}

BOOLEAN InSmram(UINTN Address) {
  const SmmMemoryService &M = gSmmMemoryService;
  for (UINTN I = 0; I < M.SmramMapCount; ++I) {
    const EFI_SMRAM_DESCRIPTOR &Range = M.SmramMap[I];
    if (Address >= Range.CpuStart && Address - Range.CpuStart < Range.PhysicalSize) {
      return TRUE;
    }
  }
  return FALSE;
}

// A buffer inside SMRAM belongs to the SMM pool; anything else to boot services.
VOID FreeSmramMap() {
  SmmMemoryService &M = gSmmMemoryService;
  VOID *Map = M.SmramMap;
  if (Map == nullptr) {
    return;
  }
  if (InSmram(reinterpret_cast<UINTN>(Map))) {
    M.Smst->SmmFreePool(Map);
  } else {
    M.BootServices->FreePool(Map);
  }
  M.SmramMap = nullptr;
  M.SmramMapCount = 0;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI UsbSupportS5SmmImageEntry(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable) {
  InitSmmMemoryService(SystemTable);
  // The driver has one entry function and it always returns, so a plain call
  // yields the module status a saved-context call would: the entry's own.
  const EFI_STATUS ModuleStatus = UsbSupportS5SmmEntry(ImageHandle, SystemTable);
  if (EFI_ERROR(ModuleStatus)) {
    FreeSmramMap();
  }
  return ModuleStatus;
}
