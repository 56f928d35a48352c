// The riser's SMBIOS slot record on the real firmware: the records, the
// snapshots and the checks of each phase (see SmbiosChecks.h).
#include "SmbiosChecks.h"
#include "BoardTriggers.h"

namespace {

constexpr UINT16 RiserSlotId = 7;
constexpr UINT8 RiserSlotIdBytes[2] = {0x01, 0xE1};  // 0xE101, little-endian
constexpr CHAR8 RiserDesignation[] = "TRK-M-4H2";
constexpr UINTN RiserSearchLimit = 5;  // type 9 records the driver looks at
constexpr UINT8 SmbiosEndOfTable = 127;
constexpr UINT8 SlotIdOffset = offsetof(SMBIOS_TABLE_TYPE9, SlotID);
constexpr UINT8 SlotDesignationOffset = offsetof(SMBIOS_TABLE_TYPE9, SlotDesignation);
constexpr CHAR8 Smbios3Anchor[] = "_SM3_";
constexpr UINTN Smbios3AnchorLength = 5;
// No structure here comes near this; a walk that does is lost.
constexpr UINTN MaxStructureSize = 0x1000;

// The board's slots as its firmware would add them. The first Slot ID 7 is
// the third record (in reach of the search); before it, a record whose byte
// 9 alone reads 7; after it, a second Slot ID 7 that must stay as it is.
struct SlotRow {
  UINT16 SlotId;
  const CHAR8 *Designation;
};
constexpr SlotRow Slots[] = {
    {4, "PCH SLOT4 PCI-E 3.0 X2"},
    {0x0107, "PCH SLOT5 PCI-E 4.0 X4"},
    {RiserSlotId, "CPU SLOT7 PCI-E 5.0 X16"},
    {RiserSlotId, "CPU SLOT7 SECOND RECORD"},
    {6, "PCH SLOT6 PCI-E 3.0 X4"},
};
constexpr UINTN SlotCount = sizeof(Slots) / sizeof(Slots[0]);
static_assert(SlotCount == SmbiosSlotCount);
constexpr UINTN RiserIndex = 2;

// Fixed contents of the other fields: a long x16 PCI Express slot, in use.
constexpr UINT8 SlotTypePciExpress = 0xA5;
constexpr UINT8 SlotWidthX16 = 0x0D;
constexpr UINT8 SlotUsageInUse = 0x04;
constexpr UINT8 SlotLengthLong = 0x04;
constexpr UINT8 SlotCharacteristics3V3 = 0x04;
constexpr UINT8 SlotCharacteristicsPme = 0x01;
constexpr UINT8 FirstSlotBus = 0x10;

// ---- Structures and their copies ------------------------------------------

// Formatted area plus string set (ending in two NULs), or 0 when it does not
// end within Room.
UINTN StructureSize(const UINT8 *P, UINTN Room) {
  const UINTN Formatted = reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(P)->Length;
  if (Formatted < sizeof(EFI_SMBIOS_TABLE_HEADER)) {
    return 0;
  }
  for (UINTN I = Formatted; I + 1 < Room; ++I) {
    if (P[I] == 0 && P[I + 1] == 0) {
      return I + 2;
    }
  }
  return 0;
}

// String N (from 1) of a structure, or NULL.
const CHAR8 *StructureString(const UINT8 *P, UINTN Size, UINTN N) {
  UINTN At = reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(P)->Length;
  for (UINTN I = 1; N != 0 && At < Size && P[At] != 0; ++I) {
    if (I == N) {
      return reinterpret_cast<const CHAR8 *>(P + At);
    }
    while (At < Size && P[At] != 0) {
      ++At;
    }
    ++At;
  }
  return nullptr;
}

using Structure = SmbiosStructure;
using Snapshot = SmbiosSnapshot;

bool SameBytes(const UINT8 *A, UINTN ASize, const UINT8 *B, UINTN BSize) {
  if (ASize != BSize) {
    return false;
  }
  for (UINTN I = 0; I < ASize; ++I) {
    if (A[I] != B[I]) {
      return false;
    }
  }
  return true;
}

// Every type 9 record, in GetNext order.
bool SnapshotSlots(const EFI_SMBIOS_PROTOCOL *Smbios, Snapshot &Out, Line &Why) {
  Out.Clear();
  EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TYPE Type = SMBIOS_TYPE_SYSTEM_SLOTS;
  for (UINTN Call = 0; Call <= Snapshot::MaxStructures; ++Call) {
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    const EFI_STATUS Status = Smbios->GetNext(Smbios, &Handle, &Type, &Record, nullptr);
    if (Status == EFI_NOT_FOUND) {
      return !Out.Overflow;
    }
    if (EFI_ERROR(Status) || Record == nullptr || Record->Type != SMBIOS_TYPE_SYSTEM_SLOTS) {
      Why.Str("GetNext = ").Status(Status).Str(Record == nullptr ? ", no record" : ", wrong type");
      return false;
    }
    const auto *P = reinterpret_cast<const UINT8 *>(Record);
    const UINTN Size = StructureSize(P, MaxStructureSize);
    if (Size == 0) {
      Why.Str("record ").Hex(Record->Handle, 4).Str(" has no string-set end");
      return false;
    }
    Out.Append(P, Size);
  }
  Why.Str("GetNext does not end");
  return false;
}

const SMBIOS_TABLE_3_0_ENTRY_POINT *Smbios3EntryPoint() {
  const EFI_SYSTEM_TABLE *St = gApp.SystemTable;
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
    if (GuidEqual(St->ConfigurationTable[I].VendorGuid, SMBIOS3_TABLE_GUID)) {
      return static_cast<const SMBIOS_TABLE_3_0_ENTRY_POINT *>(
          St->ConfigurationTable[I].VendorTable);
    }
  }
  return nullptr;
}

// Every structure of the published SMBIOS 3.0 table, in table order.
bool SnapshotTable(Snapshot &Out, Line &Why) {
  Out.Clear();
  const SMBIOS_TABLE_3_0_ENTRY_POINT *Ep = Smbios3EntryPoint();
  if (Ep == nullptr) {
    Why.Str("no SMBIOS 3.0 entry point in the configuration table");
    return false;
  }
  const auto *EpBytes = reinterpret_cast<const UINT8 *>(Ep);
  UINT8 Sum = 0;
  for (UINTN I = 0; I < Ep->EntryPointLength; ++I) {
    Sum = static_cast<UINT8>(Sum + EpBytes[I]);
  }
  for (UINTN I = 0; I < Smbios3AnchorLength; ++I) {
    if (Ep->AnchorString[I] != static_cast<UINT8>(Smbios3Anchor[I])) {
      Why.Str("entry point anchor is not _SM3_");
      return false;
    }
  }
  if (Sum != 0 || Ep->EntryPointLength < sizeof(SMBIOS_TABLE_3_0_ENTRY_POINT)) {
    Why.Str("entry point checksum ").Hex(Sum, 2).Str(", length ").Dec(Ep->EntryPointLength);
    return false;
  }
  const auto *Table = reinterpret_cast<const UINT8 *>(static_cast<UINTN>(Ep->TableAddress));
  const UINTN Max = Ep->TableMaximumSize;
  UINTN At = 0;
  while (At + sizeof(EFI_SMBIOS_TABLE_HEADER) <= Max) {
    const UINTN Size = StructureSize(Table + At, Max - At);
    if (Size == 0) {
      Why.Str("structure at offset ").Dec(At).Str(" does not end within the table");
      return false;
    }
    Out.Append(Table + At, Size);
    if (Table[At] == SmbiosEndOfTable) {
      return !Out.Overflow;
    }
    At += Size;
  }
  Why.Str("no end-of-table structure within ").Dec(Max).Str(" bytes");
  return false;
}

// After holds exactly Before's structures, byte for byte, except the one
// with handle Changed (when HasChanged), which must read Want instead.
bool SameExcept(const Snapshot &Before, const Snapshot &After, bool HasChanged, UINT16 Changed,
                const UINT8 *Want, UINTN WantSize, Line &Why) {
  if (Before.Count != After.Count) {
    Why.Dec(Before.Count).Str(" structures before, ").Dec(After.Count).Str(" after");
    return false;
  }
  for (UINTN I = 0; I < Before.Count; ++I) {
    const Structure &B = Before.S[I];
    const Structure *A = After.Find(B.Handle);
    if (A == nullptr) {
      Why.Str("handle ").Hex(B.Handle, 4).Str(" gone");
      return false;
    }
    const bool IsChanged = HasChanged && B.Handle == Changed;
    const UINT8 *Expected = IsChanged ? Want : Before.Bytes(B);
    const UINTN ExpectedSize = IsChanged ? WantSize : B.Size;
    if (!SameBytes(After.Bytes(*A), A->Size, Expected, ExpectedSize)) {
      Why.Str("handle ").Hex(B.Handle, 4).Str(" (type ").Dec(B.Type).Str(") differs");
      return false;
    }
  }
  return true;
}

// ---- The records ----------------------------------------------------------

UINTN BuildSlotRecord(UINTN Index, UINT8 *Out, UINTN Room) {
  const SlotRow &Row = Slots[Index];
  SMBIOS_TABLE_TYPE9 R{};
  R.Hdr = {SMBIOS_TYPE_SYSTEM_SLOTS, sizeof(SMBIOS_TABLE_TYPE9), 0};
  R.SlotDesignation = 1;
  R.SlotType = SlotTypePciExpress;
  R.SlotDataBusWidth = SlotWidthX16;
  R.CurrentUsage = SlotUsageInUse;
  R.SlotLength = SlotLengthLong;
  R.SlotID = Row.SlotId;
  R.SlotCharacteristics1 = SlotCharacteristics3V3;
  R.SlotCharacteristics2 = SlotCharacteristicsPme;
  R.BusNum = static_cast<UINT8>(FirstSlotBus + Index);
  const auto *Formatted = reinterpret_cast<const UINT8 *>(&R);
  UINTN N = 0;
  for (; N < sizeof(R) && N < Room; ++N) {
    Out[N] = Formatted[N];
  }
  for (const CHAR8 *C = Row.Designation; *C != 0 && N < Room; ++C) {
    Out[N++] = static_cast<UINT8>(*C);
  }
  for (UINTN End = 0; End < 2 && N < Room; ++End) {
    Out[N++] = 0;
  }
  return N;
}

// What the riser record must read: the Slot ID rewritten, the designation
// string replaced, every other byte and string as it was.
UINTN BuildRenamed(const UINT8 *Before, UINTN Size, UINT8 *Out, UINTN Room) {
  const UINTN Formatted = reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(Before)->Length;
  const UINT8 Designation = Before[SlotDesignationOffset];
  UINTN N = 0;
  for (; N < Formatted && N < Room; ++N) {
    Out[N] = Before[N];
  }
  Out[SlotIdOffset] = RiserSlotIdBytes[0];
  Out[SlotIdOffset + 1] = RiserSlotIdBytes[1];
  UINTN Number = 1;
  for (const CHAR8 *S = StructureString(Before, Size, 1); S != nullptr;
       S = StructureString(Before, Size, ++Number)) {
    for (const CHAR8 *C = Number == Designation ? RiserDesignation : S; *C != 0 && N < Room; ++C) {
      Out[N++] = static_cast<UINT8>(*C);
    }
    if (N < Room) {
      Out[N++] = 0;
    }
  }
  if (Number == 1 && N < Room) {
    Out[N++] = 0;  // no strings at all: the set is two NULs
  }
  if (N < Room) {
    Out[N++] = 0;
  }
  return N;
}

bool AddSlots(const Section &Sec, EFI_SMBIOS_PROTOCOL *Smbios, EFI_SMBIOS_HANDLE *Handles) {
  bool Added = true;
  Line Detail;
  for (UINTN I = 0; I < SlotCount; ++I) {
    UINT8 Record[64];
    BuildSlotRecord(I, Record, sizeof(Record));
    Handles[I] = SMBIOS_HANDLE_PI_RESERVED;
    const EFI_STATUS Status = Smbios->Add(Smbios, gApp.ImageHandle, &Handles[I],
                                          reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Record));
    Sec.Info(Line().Str("Add(type 9, Slot ID ").Hex(Slots[I].SlotId, 4).Str(", ")
                 .Quoted(Slots[I].Designation).Str(") = ").Status(Status).Str(", handle ")
                 .Hex(Handles[I], 4));
    if (EFI_ERROR(Status) && Added) {
      Added = false;
      Detail.Str("record ").Dec(I).Str(": ").Status(Status);
    }
  }
  return Sec.Check("slots-added", Added, Detail);
}

// Keeps the walk's verdict in the snapshot, for whoever judges it.
bool Keep(SmbiosSnapshot &Out, bool Taken, const Line &Why) {
  Out.Taken = Taken && !Out.Overflow;
  const UINTN Length = Why.Length() < Line::Capacity ? Why.Length() : Line::Capacity;
  for (UINTN I = 0; I < Length; ++I) {
    Out.Why[I] = Why.Text()[I];
  }
  Out.Why[Length] = 0;
  if (Taken && Out.Overflow) {
    const CHAR8 Full[] = "more structures than a snapshot holds";
    for (UINTN I = 0; I < sizeof(Full); ++I) {
      Out.Why[I] = Full[I];
    }
  }
  return Out.Taken;
}

bool TakeSlots(const EFI_SMBIOS_PROTOCOL *Smbios, SmbiosSnapshot &Out) {
  Line Why;
  const bool Taken = SnapshotSlots(Smbios, Out, Why);
  return Keep(Out, Taken, Why);
}

bool TakeTable(SmbiosSnapshot &Out) {
  Line Why;
  const bool Taken = SnapshotTable(Out, Why);
  return Keep(Out, Taken, Why);
}

Line WhyNot(const SmbiosSnapshot &S) { return Line().Str(S.Why); }

UINT8 gTrigger;  // never called: the arrival is all that counts

VOID ReportSlots(const Section &Sec, const CHAR8 *When, const Snapshot &Slots) {
  for (UINTN I = 0; I < Slots.Count; ++I) {
    const Structure &X = Slots.S[I];
    const UINT8 *P = Slots.Bytes(X);
    const UINT8 Designation = P[SlotDesignationOffset];
    Sec.Info(Line().Str(When).Str(": handle ").Hex(X.Handle, 4).Str(", Slot ID bytes ")
                 .Hex(P[SlotIdOffset], 2).Str(" ").Hex(P[SlotIdOffset + 1], 2).Str(", ")
                 .Quoted(StructureString(P, X.Size, Designation)));
  }
}

// The record under test as the published table holds it.
VOID ReportTableRecord(const Section &Sec, const CHAR8 *When, const Snapshot &Table,
                       UINT16 Handle) {
  const Structure *X = Table.Find(Handle);
  if (X == nullptr) {
    return;
  }
  const UINT8 *P = Table.Bytes(*X);
  Sec.Info(Line().Str(When).Str(": handle ").Hex(Handle, 4).Str(", Slot ID bytes ")
               .Hex(P[SlotIdOffset], 2).Str(" ").Hex(P[SlotIdOffset + 1], 2).Str(", ")
               .Quoted(StructureString(P, X->Size, P[SlotDesignationOffset])));
}

}  // namespace

UINT16 SmbiosSlotRun::RiserHandle() const { return Handles[RiserIndex]; }

EFI_SMBIOS_PROTOCOL *LocateSmbios(const Section &Sec) {
  VOID *Interface = nullptr;
  const EFI_STATUS Status =
      gApp.BootServices->LocateProtocol(&EFI_SMBIOS_PROTOCOL_GUID, nullptr, &Interface);
  Sec.Check("smbios-protocol", Status == EFI_SUCCESS && Interface != nullptr,
            Line().Str("LocateProtocol = ").Status(Status));
  return EFI_ERROR(Status) ? nullptr : static_cast<EFI_SMBIOS_PROTOCOL *>(Interface);
}

bool AddSlotsAndSnapshot(const Section &Sec, EFI_SMBIOS_PROTOCOL *Smbios, SmbiosSlotRun &Run) {
  Run.Ready = false;
  if (!Sec.Check("firmware-slots", TakeSlots(Smbios, Run.BeforeSlots), WhyNot(Run.BeforeSlots))) {
    return false;
  }
  Run.FirmwareSlots = Run.BeforeSlots.Count;
  Sec.Info(Line().Str("OVMF has ").Dec(Run.FirmwareSlots).Str(" type 9 records of its own"));
  if (!AddSlots(Sec, Smbios, Run.Handles)) {
    RemoveSlots(Sec, Smbios, Run);
    return false;
  }
  const UINT16 RiserHandle = Run.RiserHandle();

  // The situation before the trigger, as GetNext and the table show it.
  bool Ready = Sec.Check("slots-before", TakeSlots(Smbios, Run.BeforeSlots),
                         WhyNot(Run.BeforeSlots));
  const Snapshot &Before = Run.BeforeSlots;
  ReportSlots(Sec, "before", Before);
  UINTN Position = 0;
  for (; Position < Before.Count; ++Position) {
    const UINT8 *P = Before.Bytes(Before.S[Position]);
    if (reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(P)->Length >= SlotIdOffset + 2 &&
        (P[SlotIdOffset] | P[SlotIdOffset + 1] << 8) == RiserSlotId) {
      break;
    }
  }
  Ready = Sec.Check("first-slot7-within-search",
                    Position < RiserSearchLimit && Position < Before.Count &&
                        Before.S[Position].Handle == RiserHandle,
                    Line().Str("first Slot ID 7 is type 9 record ").Dec(Position + 1)) && Ready;
  Ready = Sec.Check("table-before", TakeTable(Run.BeforeTable), WhyNot(Run.BeforeTable)) && Ready;
  Ready = Sec.Check("table-holds-slots", Run.BeforeTable.Find(RiserHandle) != nullptr,
                    "the published table lacks the added records") && Ready;
  ReportTableRecord(Sec, "SMBIOS 3.0 table before", Run.BeforeTable, RiserHandle);
  Run.Ready = Ready;
  return true;
}

VOID CheckQuietUntilTrigger(const Section &Sec, const EFI_SMBIOS_PROTOCOL *Smbios,
                            SmbiosSlotRun &Run) {
  const bool Walked = TakeSlots(Smbios, Run.AfterSlots);
  Line Why = WhyNot(Run.AfterSlots);
  Sec.Check("quiet-until-trigger",
            Walked && SameExcept(Run.BeforeSlots, Run.AfterSlots, false, 0, nullptr, 0, Why), Why);
}

VOID SnapshotSlotsAndTable(const EFI_SMBIOS_PROTOCOL *Smbios, SmbiosSnapshot &Slots,
                           SmbiosSnapshot &Table) {
  TakeSlots(Smbios, Slots);
  TakeTable(Table);
}

bool InstallSmbiosTrigger(const Section &Sec, const CHAR8 *Name) {
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gApp.BootServices->InstallProtocolInterface(
      &Handle, &SmbiosTriggerProtocolGuid, EFI_NATIVE_INTERFACE, &gTrigger);
  return Sec.Check(Name, Status == EFI_SUCCESS,
                   Line().Str("InstallProtocolInterface ").Status(Status));
}

VOID CheckAfterTrigger(const Section &Sec, const SmbiosSlotRun &Run, bool Riser) {
  const UINT16 RiserHandle = Run.RiserHandle();
  UINT8 Want[MaxStructureSize / 16] = {};
  UINTN WantSize = 0;
  if (Riser) {
    const Structure *B = Run.BeforeSlots.Find(RiserHandle);
    WantSize = B != nullptr ? BuildRenamed(Run.BeforeSlots.Bytes(*B), B->Size, Want, sizeof(Want))
                            : 0;
  }
  const Snapshot &After = Run.AfterSlots;
  ReportSlots(Sec, "after", After);
  if (Riser && After.Taken) {
    const Structure *A = After.Find(RiserHandle);
    const UINT8 *P = A != nullptr ? After.Bytes(*A) : nullptr;
    Sec.Check("slot-id-e101",
              P != nullptr && P[SlotIdOffset] == RiserSlotIdBytes[0] &&
                  P[SlotIdOffset + 1] == RiserSlotIdBytes[1],
              P == nullptr ? Line().Str("record gone")
                           : Line().Str("bytes 9-10 ").Hex(P[SlotIdOffset], 2).Str(" ")
                                 .Hex(P[SlotIdOffset + 1], 2));
    const CHAR8 *Name =
        P != nullptr ? StructureString(P, A->Size, P[SlotDesignationOffset]) : nullptr;
    Sec.Check("designation-trk-m-4h2", TextEqual(Name, RiserDesignation),
              Line().Str("designation ").Quoted(Name));
  }
  Line Why = WhyNot(After);
  Sec.Check(Riser ? "getnext-only-riser-record-changed" : "getnext-unchanged",
            After.Taken &&
                SameExcept(Run.BeforeSlots, After, Riser, RiserHandle, Want, WantSize, Why),
            Why);
  Why = WhyNot(Run.AfterTable);
  Sec.Check(Riser ? "table-only-riser-record-changed" : "table-unchanged",
            Run.AfterTable.Taken &&
                SameExcept(Run.BeforeTable, Run.AfterTable, Riser, RiserHandle, Want, WantSize,
                           Why),
            Why);
  ReportTableRecord(Sec, "SMBIOS 3.0 table after", Run.AfterTable, RiserHandle);
  if (const SMBIOS_TABLE_3_0_ENTRY_POINT *Ep = Smbios3EntryPoint()) {
    Sec.Info(Line().Str("SMBIOS 3.0 table at ").Hex(Ep->TableAddress).Str(", ")
                 .Dec(Ep->TableMaximumSize).Str(" bytes, ").Dec(Run.AfterTable.Count)
                 .Str(" structures"));
  }
}

VOID CheckAfterSecondTrigger(const Section &Sec, const SmbiosSlotRun &Run) {
  Line Why;
  if (!Run.AgainSlots.Taken) {
    Why = WhyNot(Run.AgainSlots);
  } else if (!Run.AgainTable.Taken) {
    Why = WhyNot(Run.AgainTable);
  }
  Sec.Check("second-trigger-changes-nothing",
            Run.AgainSlots.Taken &&
                SameExcept(Run.AfterSlots, Run.AgainSlots, false, 0, nullptr, 0, Why) &&
                Run.AgainTable.Taken &&
                SameExcept(Run.AfterTable, Run.AgainTable, false, 0, nullptr, 0, Why),
            Why);
}

VOID CheckPublishedRecord(const Section &Sec, const SmbiosSlotRun &Run) {
  static SmbiosSnapshot Now;  // 10 KiB: not for a firmware stack
  const UINT16 Handle = Run.RiserHandle();
  TakeTable(Now);
  const Structure *N = Now.Find(Handle);
  const Structure *A = Run.AfterTable.Find(Handle);
  Line Why = WhyNot(Now);
  if (Now.Taken && (N == nullptr || A == nullptr)) {
    Why.Str("handle ").Hex(Handle, 4)
        .Str(N == nullptr ? " not in the table now" : " was not there");
  } else if (Now.Taken) {
    Why.Str("handle ").Hex(Handle, 4).Str(" differs from the record right after the trigger");
  }
  Sec.Check("published-record",
            Now.Taken && N != nullptr && A != nullptr &&
                SameBytes(Now.Bytes(*N), N->Size, Run.AfterTable.Bytes(*A), A->Size),
            Why);
  ReportTableRecord(Sec, "SMBIOS 3.0 table now", Now, Handle);
}

VOID RemoveSlots(const Section &Sec, EFI_SMBIOS_PROTOCOL *Smbios, const SmbiosSlotRun &Run) {
  static SmbiosSnapshot Left;
  bool Removed = true;
  for (UINTN I = 0; I < SlotCount; ++I) {
    Removed = !EFI_ERROR(Smbios->Remove(Smbios, Run.Handles[I])) && Removed;
  }
  const bool Walked = TakeSlots(Smbios, Left);
  Sec.Check("slots-removed", Removed && Walked && Left.Count == Run.FirmwareSlots,
            Removed ? WhyNot(Left).Dec(Left.Count).Str(" type 9 records left, want ")
                          .Dec(Run.FirmwareSlots)
                    : Line().Str("Remove failed"));
}
