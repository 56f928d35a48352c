// With a riser fitted, the SMBIOS System Slots record of the CPU x16 slot
// (Slot ID 7) names the riser: Slot ID 0xE101, designation "TRK-M-4H2".
// Runs at TPL_CALLBACK at the SMBIOS trigger; stays armed until a run finds
// EFI_SMBIOS_PROTOCOL, then changes the table at most once.
#include "BoardSetupDxe.h"
#include "Uefi/Smbios.h"

namespace {

constexpr UINT16 RiserSlotId = 7;
constexpr UINT16 RiserSlotIdWritten = 0xE101;
constexpr CHAR8 RiserSlotDesignation[] = "TRK-M-4H2";
constexpr UINTN RiserSlotSearchLimit = 5;  // GetNext calls
// A record whose formatted area ends before the Slot ID has none.
constexpr UINT8 SlotIdEnd = offsetof(SMBIOS_TABLE_TYPE9, SlotID) + sizeof(UINT16);

VOID RenameRiserSlot(const EFI_SMBIOS_PROTOCOL *Smbios) {
  EFI_SMBIOS_HANDLE SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TYPE Type = SMBIOS_TYPE_SYSTEM_SLOTS;
  // Kept rolled: five unrolled searches cost the image a file page.
#pragma GCC unroll 1
  for (UINTN Call = 0; Call < RiserSlotSearchLimit; ++Call) {
    // Reset each time, so a call that does not hand a record back cannot
    // leave the previous one (or garbage) to be read.
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    if (EFI_ERROR(Smbios->GetNext(Smbios, &SmbiosHandle, &Type, &Record, nullptr)) ||
        Record == nullptr) {
      return;
    }
    if (Record->Length < SlotIdEnd) {
      continue;
    }
    auto *Slot = reinterpret_cast<SMBIOS_TABLE_TYPE9 *>(Record);
    if (Slot->SlotID != RiserSlotId) {
      continue;
    }
    // The record is the protocol's own stored copy: the new id shows in the
    // published table. UpdateString rebuilds the record elsewhere, so every
    // field needed is taken first and the pointer is dead after the call.
    Slot->SlotID = RiserSlotIdWritten;
    EFI_SMBIOS_HANDLE RecordHandle = Slot->Hdr.Handle;
    UINTN StringNumber = Slot->SlotDesignation;
    Smbios->UpdateString(Smbios, &RecordHandle, &StringNumber,
                         const_cast<CHAR8 *>(RiserSlotDesignation));
    return;
  }
}

}  // namespace

VOID EFIAPI SmbiosRiserSlotCallback(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoardSetup.BootServices->LocateProtocol(&EFI_SMBIOS_PROTOCOL_GUID, nullptr,
                                                         &Interface)) ||
      Interface == nullptr) {
    // Stay armed: the next installation of the trigger tries again.
    return;
  }

  if (RiserFitted()) {
    RenameRiserSlot(static_cast<const EFI_SMBIOS_PROTOCOL *>(Interface));
  }

  gBoardSetup.BootServices->CloseEvent(Event);
}
