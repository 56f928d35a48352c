// The riser's SMBIOS slot record on the real firmware, in phases: the DXE
// stand-in adds the records and takes the snapshots around the trigger, the
// application checks them. System Slots records are added with OVMF's own
// EFI_SMBIOS_PROTOCOL and read back twice: through GetNext, and in the
// SMBIOS 3.0 table the firmware publishes. Structures are told apart by
// handle, so a record the firmware moves while rebuilding it still compares
// with its old self.
#pragma once

#include "TestApp.h"
#include "Uefi/Smbios.h"

struct SmbiosStructure {
  UINT16 Handle;
  UINT8 Type;
  UINTN Offset;  // in the pool
  UINTN Size;
};

// A copy of every type 9 record (GetNext) or of every structure of the
// published table, taken at one moment.
struct SmbiosSnapshot {
  static constexpr UINTN MaxStructures = 64;
  static constexpr UINTN PoolSize = 8192;
  SmbiosStructure S[MaxStructures];
  UINTN Count;
  UINT8 Pool[PoolSize];
  UINTN Used;
  bool Overflow;
  bool Taken;                        // the walk ended where it must
  CHAR8 Why[Line::Capacity + 1];     // else why not

  VOID Clear() {
    Count = 0;
    Used = 0;
    Overflow = false;
    Taken = false;
    Why[0] = 0;
  }
  VOID Append(const UINT8 *Bytes, UINTN Size) {
    if (Count == MaxStructures || Size > PoolSize - Used) {
      Overflow = true;
      return;
    }
    const auto *H = reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(Bytes);
    S[Count++] = {H->Handle, H->Type, Used, Size};
    for (UINTN I = 0; I < Size; ++I) {
      Pool[Used++] = Bytes[I];
    }
  }
  const SmbiosStructure *Find(UINT16 Handle) const {
    for (UINTN I = 0; I < Count; ++I) {
      if (S[I].Handle == Handle) {
        return &S[I];
      }
    }
    return nullptr;
  }
  const UINT8 *Bytes(const SmbiosStructure &X) const { return Pool + X.Offset; }
};

inline constexpr UINTN SmbiosSlotCount = 5;

// One run: the records added and the snapshots before the SMBIOS trigger,
// after it, and after a second one.
struct SmbiosSlotRun {
  EFI_SMBIOS_HANDLE Handles[SmbiosSlotCount];
  UINTN FirmwareSlots;  // type 9 records the firmware had
  bool Ready;           // added, with the first Slot ID 7 in the driver's reach
  SmbiosSnapshot BeforeSlots, BeforeTable;
  SmbiosSnapshot AfterSlots, AfterTable;
  SmbiosSnapshot AgainSlots, AgainTable;
  UINT16 RiserHandle() const;  // the record a riser renames
};

// LocateProtocol; checks smbios-protocol.
EFI_SMBIOS_PROTOCOL *LocateSmbios(const Section &Sec);
// Adds the board's five slot records and takes the before snapshots; false
// when the records are not in (none added, or taken out again after a
// failed Add). Run.Ready tells whether the situation is the one the checks
// need. Checks firmware-slots, slots-added, slots-before,
// first-slot7-within-search, table-before, table-holds-slots.
bool AddSlotsAndSnapshot(const Section &Sec, EFI_SMBIOS_PROTOCOL *Smbios, SmbiosSlotRun &Run);
// Before the trigger, GetNext shows the records as added. Checks
// quiet-until-trigger.
VOID CheckQuietUntilTrigger(const Section &Sec, const EFI_SMBIOS_PROTOCOL *Smbios,
                            SmbiosSlotRun &Run);
// Both snapshots of one moment (no checks: they may be judged elsewhere).
VOID SnapshotSlotsAndTable(const EFI_SMBIOS_PROTOCOL *Smbios, SmbiosSnapshot &Slots,
                           SmbiosSnapshot &Table);
// The SMBIOS trigger, on a new handle; checks Name.
bool InstallSmbiosTrigger(const Section &Sec, const CHAR8 *Name);
// After the first trigger: with a riser only the first Slot ID 7 record
// differs (bytes 9-10 01 E1, designation TRK-M-4H2), without one nothing
// does. Checks slot-id-e101, designation-trk-m-4h2 (riser), then
// getnext-/table-only-riser-record-changed or getnext-/table-unchanged.
VOID CheckAfterTrigger(const Section &Sec, const SmbiosSlotRun &Run, bool Riser);
// After the second trigger nothing more changed. Checks
// second-trigger-changes-nothing.
VOID CheckAfterSecondTrigger(const Section &Sec, const SmbiosSlotRun &Run);
// The record as the SMBIOS 3.0 table published now holds it is the record
// right after the trigger. Checks published-record.
VOID CheckPublishedRecord(const Section &Sec, const SmbiosSlotRun &Run);
// Our records out again. Checks slots-removed.
VOID RemoveSlots(const Section &Sec, EFI_SMBIOS_PROTOCOL *Smbios, const SmbiosSlotRun &Run);
