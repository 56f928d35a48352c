// A riser card on a machine that has none: a copy of the firmware's real HOB
// list with a riser-card GUID HOB appended, published under the HOB-list
// GUID before the driver first reads it.
#include "BoardTriggers.h"
#include "StandIns.h"

namespace {


// The riser HOB: header, name, the flag byte, padded to HOB alignment.
constexpr UINTN HobAlignment = 8;
constexpr UINTN RiserHobLength =
    (sizeof(EFI_HOB_GUID_TYPE) + 1 + HobAlignment - 1) / HobAlignment * HobAlignment;

// Bytes from the list start up to and including the end-of-list HOB, or 0
// for a list that does not end where its lengths say.
UINTN ListLength(const UINT8 *List) {
  constexpr UINTN MaxListLength = 16 * 1024 * 1024;
  UINTN Offset = 0;
  while (Offset < MaxListLength) {
    const auto *H = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(List + Offset);
    if (H->HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return 0;
    }
    Offset += H->HobLength;
    if (H->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return Offset;
    }
  }
  return 0;
}

}  // namespace

namespace HobListOverride {

VOID *FirmwareHobList() {
  const EFI_SYSTEM_TABLE *St = gApp.SystemTable;
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
    if (GuidEqual(St->ConfigurationTable[I].VendorGuid, EFI_HOB_LIST_GUID)) {
      return St->ConfigurationTable[I].VendorTable;
    }
  }
  return nullptr;
}

const EFI_HOB_GUID_TYPE *FindGuidHob(VOID *List, const EFI_GUID &Name) {
  const auto *Hob = static_cast<const UINT8 *>(List);
  if (Hob == nullptr || ListLength(Hob) == 0) {
    return nullptr;
  }
  for (;;) {
    const auto *H = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Hob);
    if (H->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    const auto *G = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(Hob);
    if (H->HobType == EFI_HOB_TYPE_GUID_EXTENSION && GuidEqual(G->Name, Name)) {
      return G;
    }
    Hob += H->HobLength;
  }
}

bool InstallWithRiser(const Section &Sec, UINT8 Flag) {
  const auto *Original = static_cast<const UINT8 *>(FirmwareHobList());
  const UINTN Length = Original != nullptr ? ListLength(Original) : 0;
  if (Length == 0) {
    return Sec.Check("riser-hob-list", false, "no well-formed HOB list in the configuration table");
  }
  // Everything up to the end HOB, then the riser HOB, then a new end HOB.
  const UINTN Body = Length - sizeof(EFI_HOB_GENERIC_HEADER);
  const UINTN CopyLength = Body + RiserHobLength + sizeof(EFI_HOB_GENERIC_HEADER);
  VOID *Buffer = nullptr;
  EFI_STATUS Status = gApp.BootServices->AllocatePool(EfiBootServicesData, CopyLength, &Buffer);
  if (EFI_ERROR(Status)) {
    return Sec.Check("riser-hob-list", false, Line().Str("AllocatePool = ").Status(Status));
  }
  // Never freed: the driver keeps the pointer it cached.
  auto *Copy = static_cast<UINT8 *>(Buffer);
  for (UINTN I = 0; I < Body; ++I) {
    Copy[I] = Original[I];
  }
  auto *Riser = reinterpret_cast<EFI_HOB_GUID_TYPE *>(Copy + Body);
  Riser->Header = {EFI_HOB_TYPE_GUID_EXTENSION, static_cast<UINT16>(RiserHobLength), 0};
  Riser->Name = RiserCardHobGuid;
  auto *Data = reinterpret_cast<UINT8 *>(Riser + 1);
  for (UINTN I = 0; I < RiserHobLength - sizeof(EFI_HOB_GUID_TYPE); ++I) {
    Data[I] = 0;
  }
  Data[0] = Flag;
  auto *End = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(Copy + Body + RiserHobLength);
  *End = {EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};

  Status = gApp.BootServices->InstallConfigurationTable(&EFI_HOB_LIST_GUID, Copy);
  const bool Installed = !EFI_ERROR(Status);
  Sec.Info(Line().Str("HOB list copy at ").Hex(reinterpret_cast<UINTN>(Copy)).Str(", ")
               .Dec(CopyLength).Str(" bytes, riser flag ").Dec(Flag));
  return Sec.Check("riser-hob-list", Installed && FirmwareHobList() == Copy,
                   Line().Str("InstallConfigurationTable = ").Status(Status));
}

}  // namespace HobListOverride
