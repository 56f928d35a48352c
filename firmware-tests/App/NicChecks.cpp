// BoardNicInfoProtocol on the real firmware: published on a handle of its
// own, found by LocateProtocol, and answering on a machine with no onboard
// controller (QEMU has none with id 0x15F28086).
#include "NicChecks.h"
#include "StandIns.h"

namespace {

constexpr UINTN FirstBufferLength = 10;
constexpr UINT8 CallerByte = 0xA5;  // what the caller left in its buffers

// The handle whose NIC interface lies in Driver's image, and the interface.
EFI_HANDLE HandleOf(const ImageRange &Driver, VOID **Interface) {
  EFI_HANDLE Handles[16] = {};
  UINTN Size = sizeof(Handles);
  if (EFI_ERROR(gApp.BootServices->LocateHandle(ByProtocol, &BoardNicInfoProtocolGuid, nullptr,
                                                &Size, Handles))) {
    return nullptr;
  }
  for (UINTN I = 0; I < Size / sizeof(EFI_HANDLE); ++I) {
    VOID *Found = nullptr;
    gApp.BootServices->HandleProtocol(Handles[I], &BoardNicInfoProtocolGuid, &Found);
    if (Driver.Contains(Found)) {
      *Interface = Found;
      return Handles[I];
    }
  }
  return nullptr;
}

Line &Record(Line &L, const UINT8 *Bytes) {
  L.Str("Count ").Dec(Bytes[0]).Str(", bytes");
  for (UINTN I = 1; I <= NicMacLength; ++I) {
    L.Str(" ").Hex(Bytes[I], 2);
  }
  return L;
}

}  // namespace

const BOARD_NIC_INFO_PROTOCOL *CheckNicPublished(const Section &Sec, EFI_HANDLE ImageHandle,
                                                 const ImageRange &Driver) {
  VOID *Interface = nullptr;
  const EFI_STATUS Status =
      gApp.BootServices->LocateProtocol(&BoardNicInfoProtocolGuid, nullptr, &Interface);
  Sec.Info(Line().Str("LocateProtocol(BoardNicInfoProtocol) = ").Status(Status).Str(", interface ")
               .Hex(reinterpret_cast<UINTN>(Interface)));
  if (!Sec.Check("protocol-located", !EFI_ERROR(Status) && InsideDriverUnderTest(Interface),
                 Line().Status(Status).Str(", interface outside the driver image"))) {
    return nullptr;
  }
  EFI_HANDLE Handle = HandleOf(Driver, &Interface);
  VOID *LoadedImage = nullptr;
  const bool IsImage = Handle != nullptr &&
                       !EFI_ERROR(gApp.BootServices->HandleProtocol(
                           Handle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &LoadedImage));
  Sec.Info(Line().Str("protocol handle ").Hex(reinterpret_cast<UINTN>(Handle))
               .Str(", image handle ")
               .Hex(reinterpret_cast<UINTN>(ImageHandle)));
  if (!Sec.Check("own-handle", Handle != nullptr && Handle != ImageHandle && !IsImage,
                 Handle == nullptr ? "no handle carries this copy's interface"
                                   : "installed on an image handle")) {
    return nullptr;
  }

  const auto *Nic = static_cast<const BOARD_NIC_INFO_PROTOCOL *>(Interface);
  bool EmptySlots = Nic->Slot1 == nullptr;
  for (const VOID *Slot : Nic->Slot4To8) {
    EmptySlots = EmptySlots && Slot == nullptr;
  }
  const bool Filled = Nic->Slot0AlwaysFalse != nullptr &&
                      Nic->Slot3AlwaysFalse == Nic->Slot0AlwaysFalse &&
                      InsideDriverUnderTest(reinterpret_cast<const VOID *>(Nic->Slot0AlwaysFalse)) &&
                      InsideDriverUnderTest(reinterpret_cast<const VOID *>(Nic->GetNicMacAddresses));
  if (!Sec.Check("interface-record", Filled && EmptySlots, "slots 0-8 are not as published")) {
    return nullptr;
  }
  Sec.Check("slot0-false", Nic->Slot0AlwaysFalse() == FALSE);
  return Nic;
}

VOID CheckNicMacRead(const Section &Sec, const BOARD_NIC_INFO_PROTOCOL *Nic) {
  const UINTN PcdFrom = PcdStandIn::Reads();
  UINT8 First[FirstBufferLength];
  NicMacRecord Second;
  for (UINT8 &B : First) {
    B = CallerByte;
  }
  Second.Count = CallerByte;
  for (UINT8 &B : Second.Mac) {
    B = CallerByte;
  }
  const EFI_STATUS MacStatus = Nic->GetNicMacAddresses(First, &Second);
  Sec.Info(Line().Str("GetNicMacAddresses = ").Status(MacStatus));
  Sec.Info(Record(Line().Str("first record:  "), First + NicFirstRecordOffset));
  Sec.Info(Record(Line().Str("second record: "), &Second.Count));

  Sec.Check("get-mac-status", MacStatus == EFI_SUCCESS, Line().Status(MacStatus));
  Sec.Check("first-count-zero", First[NicFirstRecordOffset] == 0,
            Line().Str("Count ").Dec(First[NicFirstRecordOffset]));
  Sec.Check("second-count-zero", Second.Count == 0, Line().Str("Count ").Dec(Second.Count));
  bool Untouched = true;
  for (UINTN I = 0; I < NicFirstRecordOffset; ++I) {
    Untouched = Untouched && First[I] == CallerByte;
  }
  Sec.Check("caller-bytes-untouched", Untouched, "bytes 0-2 of the first buffer changed");
  bool MacsUntouched = true;
  for (UINTN I = NicFirstRecordOffset + 1; I < FirstBufferLength; ++I) {
    MacsUntouched = MacsUntouched && First[I] == CallerByte;
  }
  for (UINT8 B : Second.Mac) {
    MacsUntouched = MacsUntouched && B == CallerByte;
  }
  Sec.Check("mac-bytes-untouched", MacsUntouched, "a record without a controller was written");
  const UINTN Reads = PcdStandIn::Reads() - PcdFrom;
  Sec.Check("root-ports-from-pcd",
            Reads == 2 && PcdStandIn::ReadToken(PcdFrom) == 630 &&
                PcdStandIn::ReadToken(PcdFrom + 1) == 631,
            Line().Dec(Reads).Str(" PCD reads"));
}
