// The ACPI facts the end of the boot needs, read from the tables OVMF
// installed from QEMU: PM1a_CNT and the PM timer from the FADT, SLP_TYP for
// S5 from the DSDT's \_S5 package (0 on q35, where 5 does nothing).
#include "DispatchBoot.h"
#include "SmmBench.h"

namespace {

constexpr EFI_GUID Acpi20TableGuid = {
    0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

// RSDP.
constexpr UINT64 RsdpSignature = 0x2052545020445352ULL;  // "RSD PTR "
constexpr UINTN RsdpRevisionOffset = 15;
constexpr UINTN RsdpRsdtOffset = 16;  // UINT32
constexpr UINTN RsdpXsdtOffset = 24;  // UINT64, revision 2 and later
// Every system description table starts with this header.
constexpr UINTN TableLengthOffset = 4;
constexpr UINTN TableHeaderLength = 36;
constexpr UINT32 FadtSignature = 0x50434146;  // "FACP"
// FADT fields.
constexpr UINTN FadtDsdtOffset = 40;           // UINT32
constexpr UINTN FadtPm1aControlOffset = 64;    // UINT32 port
constexpr UINTN FadtPmTimerOffset = 76;        // UINT32 port
constexpr UINTN FadtFlagsOffset = 112;         // UINT32
constexpr UINT32 FadtTimerIs32Bit = 1U << 8;   // TMR_VAL_EXT
constexpr UINTN FadtXDsdtOffset = 140;         // UINT64
constexpr UINTN FadtXDsdtEnd = FadtXDsdtOffset + 8;
constexpr UINT32 PmTimer24BitMask = 0x00FFFFFF;
constexpr UINT32 PmTimer32BitMask = 0xFFFFFFFF;
// PM1_CNT.
constexpr UINT16 SleepTypeShift = 10;     // SLP_TYP, 3 bits
constexpr UINT16 SleepTypeMask = 0x7;
// AML of "Name (_S5, Package (n) { SLP_TYPa, ... })".
constexpr UINT8 AmlNameOp = 0x08;
constexpr UINT8 AmlRootChar = 0x5C;  // '\'
constexpr UINT8 AmlPackageOp = 0x12;
constexpr UINT8 AmlZeroOp = 0x00;
constexpr UINT8 AmlOneOp = 0x01;
constexpr UINT8 AmlBytePrefix = 0x0A;
constexpr UINT8 S5Name[] = {'_', 'S', '5', '_'};
constexpr UINT8 PkgLengthFollowShift = 6;  // bits 7:6 of the lead byte: bytes that follow

UINT32 Read32(UINTN Address) { return *reinterpret_cast<const UINT32 *>(Address); }
UINT64 Read64(UINTN Address) { return *reinterpret_cast<const UINT64 *>(Address); }

UINTN FindFadt(UINTN Rsdp) {
  const bool HasXsdt = *reinterpret_cast<const UINT8 *>(Rsdp + RsdpRevisionOffset) >= 2;
  const UINTN Root = HasXsdt ? Read64(Rsdp + RsdpXsdtOffset) : Read32(Rsdp + RsdpRsdtOffset);
  const UINTN EntrySize = HasXsdt ? 8 : 4;
  if (Root == 0) {
    return 0;
  }
  const UINT32 Length = Read32(Root + TableLengthOffset);
  for (UINTN Entry = Root + TableHeaderLength; Entry + EntrySize <= Root + Length;
       Entry += EntrySize) {
    const UINTN Table = HasXsdt ? Read64(Entry) : Read32(Entry);
    if (Table != 0 && Read32(Table) == FadtSignature) {
      return Table;
    }
  }
  return 0;
}

// SLP_TYPa of \_S5, or -1 when the DSDT has no such package in a form we read.
INT32 FindS5SleepType(UINTN Dsdt) {
  const UINT32 Length = Read32(Dsdt + TableLengthOffset);
  const auto *Aml = reinterpret_cast<const UINT8 *>(Dsdt);
  for (UINTN I = TableHeaderLength; I + sizeof(S5Name) + 4 < Length; ++I) {
    bool Match = true;
    for (UINTN K = 0; K < sizeof(S5Name); ++K) {
      Match = Match && Aml[I + K] == S5Name[K];
    }
    const UINT8 Before = Aml[I - 1];
    const bool Named = Before == AmlNameOp || (Before == AmlRootChar && Aml[I - 2] == AmlNameOp);
    UINTN P = I + sizeof(S5Name);
    if (!Match || !Named || Aml[P] != AmlPackageOp) {
      continue;
    }
    ++P;
    P += 1 + (Aml[P] >> PkgLengthFollowShift);  // PkgLength
    ++P;                                        // NumElements
    if (P + 1 >= Length) {
      return -1;
    }
    switch (Aml[P]) {
      case AmlZeroOp:
        return 0;
      case AmlOneOp:
        return 1;
      case AmlBytePrefix:
        return Aml[P + 1];
      default:
        return -1;
    }
  }
  return -1;
}

UINT16 In16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID Out16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}

}  // namespace

namespace SmmBench {

AcpiPower ReadAcpiPower(EFI_SYSTEM_TABLE *SystemTable) {
  AcpiPower Acpi = {};
  UINTN Rsdp = 0;
  for (UINTN I = 0; I < SystemTable->NumberOfTableEntries; ++I) {
    if (GuidEqual(SystemTable->ConfigurationTable[I].VendorGuid, Acpi20TableGuid)) {
      Rsdp = reinterpret_cast<UINTN>(SystemTable->ConfigurationTable[I].VendorTable);
    }
  }
  if (Rsdp == 0 || Read64(Rsdp) != RsdpSignature) {
    Acpi.Problem = "no ACPI 2.0 RSDP in the system table";
    return Acpi;
  }
  const UINTN Fadt = FindFadt(Rsdp);
  if (Fadt == 0) {
    Acpi.Problem = "no FADT";
    return Acpi;
  }
  const UINT32 FadtLength = Read32(Fadt + TableLengthOffset);
  UINTN Dsdt = FadtLength >= FadtXDsdtEnd ? Read64(Fadt + FadtXDsdtOffset) : 0;
  if (Dsdt == 0) {
    Dsdt = Read32(Fadt + FadtDsdtOffset);
  }
  Acpi.Pm1aControlPort = static_cast<UINT16>(Read32(Fadt + FadtPm1aControlOffset));
  Acpi.PmTimerPort = static_cast<UINT16>(Read32(Fadt + FadtPmTimerOffset));
  Acpi.PmTimerMask =
      (Read32(Fadt + FadtFlagsOffset) & FadtTimerIs32Bit) != 0 ? PmTimer32BitMask : PmTimer24BitMask;
  const INT32 SleepType = Dsdt != 0 ? FindS5SleepType(Dsdt) : -1;
  if (Acpi.Pm1aControlPort == 0 || Acpi.PmTimerPort == 0) {
    Acpi.Problem = "no PM1a_CNT or PM timer block in the FADT";
  } else if (SleepType < 0) {
    Acpi.Problem = "no \\_S5 package the bench reads in the DSDT";
  } else {
    Acpi.S5SleepType = static_cast<UINT8>(SleepType & SleepTypeMask);
    Acpi.Found = true;
  }
  return Acpi;
}

UINT32 ReadPmTimer(const AcpiPower &Acpi) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Acpi.PmTimerPort));
  return Value & Acpi.PmTimerMask;
}

VOID EnterS5(const AcpiPower &Acpi) {
  // The other bits (SCI_EN above all) stay as the firmware left them.
  UINT16 Control = In16(Acpi.Pm1aControlPort);
  Control = static_cast<UINT16>(Control & ~(SleepTypeMask << SleepTypeShift));
  Control = static_cast<UINT16>(Control | (Acpi.S5SleepType << SleepTypeShift) | DispatchBoot::Pm1SleepEnable);
  Out16(Acpi.Pm1aControlPort, Control);
}

}  // namespace SmmBench
