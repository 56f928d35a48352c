// Lookups shared by the callbacks: the HOB list, GUID HOBs, the riser flag
// and the dynamic PCD protocol.
#include "BoardSetupDxe.h"
#include "BoardTriggers.h"

namespace {
constexpr UINT16 HobAlignment = 8;
}

VOID *GetHobList() {
  if (gBoardSetup.HobList != nullptr) {
    return gBoardSetup.HobList;
  }
  const EFI_SYSTEM_TABLE *St = gBoardSetup.SystemTable;
  if (St == nullptr || St->ConfigurationTable == nullptr) {
    return nullptr;
  }
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
    if (GuidEqual(St->ConfigurationTable[I].VendorGuid, EFI_HOB_LIST_GUID)) {
      gBoardSetup.HobList = St->ConfigurationTable[I].VendorTable;
      return gBoardSetup.HobList;
    }
  }
  // Not cached: a later call searches again.
  return nullptr;
}

EFI_HOB_GUID_TYPE *FindGuidHob(const EFI_GUID *Name) {
  auto *Hob = static_cast<UINT8 *>(GetHobList());
  if (Hob == nullptr) {
    return nullptr;
  }
  for (;;) {
    const auto *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    // A length shorter than the header would never advance, and HOBs
    // start on 8-byte boundaries: anything else is a damaged list, whose
    // end this is.
    if (Header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER) ||
        Header->HobLength % HobAlignment != 0) {
      return nullptr;
    }
    // A GUID HOB too short to hold its name cannot be the one named.
    if (Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        Header->HobLength >= sizeof(EFI_HOB_GUID_TYPE)) {
      auto *GuidHob = reinterpret_cast<EFI_HOB_GUID_TYPE *>(Hob);
      if (GuidEqual(GuidHob->Name, *Name)) {
        return GuidHob;
      }
    }
    Hob += Header->HobLength;
  }
}

BOOLEAN RiserFitted() {
  const EFI_HOB_GUID_TYPE *Hob = FindGuidHob(&RiserCardHobGuid);
  if (Hob == nullptr) {
    return FALSE;
  }
  // The flag is the first data byte; a HOB with no data carries no flag.
  if (Hob->Header.HobLength <= sizeof(EFI_HOB_GUID_TYPE)) {
    return FALSE;
  }
  const auto *Data = reinterpret_cast<const UINT8 *>(Hob) + sizeof(EFI_HOB_GUID_TYPE);
  return Data[0] != 0 ? TRUE : FALSE;
}

PCD_PROTOCOL *GetPcdProtocol() {
  if (gBoardSetup.Pcd == nullptr) {
    VOID *Interface = nullptr;
    EFI_STATUS Status =
        gBoardSetup.BootServices->LocateProtocol(&PCD_PROTOCOL_GUID, nullptr, &Interface);
    // Only a successful lookup is trusted; the next call tries again.
    if (!EFI_ERROR(Status)) {
      gBoardSetup.Pcd = static_cast<PCD_PROTOCOL *>(Interface);
    }
  }
  return gBoardSetup.Pcd;
}
