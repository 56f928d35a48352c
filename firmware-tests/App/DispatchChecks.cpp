// Who started BoardSetupDxe and the DXE stand-in: the DXE dispatcher, from
// their files in the firmware volume, each once its dependency expression
// held, BoardSetupDxe first. Nothing here was loaded by this application.
#include "DispatchApp.h"
#include "DispatchBoot.h"


namespace {

// Room for the longest expression built here: a PUSH and an AND per
// protocol, and the END.
constexpr UINTN MaxDepexSize = (1 + sizeof(EFI_GUID) + 1) * DxeStandInDepexCount + 1;

// An expression of PUSHes ANDed together, as the build writes it.
UINTN BuildDepex(const EFI_GUID *const *Guids, UINTN Count, UINT8 *Out, UINTN Room) {
  UINTN N = 0;
  for (UINTN I = 0; I < Count; ++I) {
    if (N + 1 + sizeof(EFI_GUID) + 1 > Room) {
      return 0;
    }
    Out[N++] = EFI_DEP_PUSH;
    const auto *G = reinterpret_cast<const UINT8 *>(Guids[I]);
    for (UINTN B = 0; B < sizeof(EFI_GUID); ++B) {
      Out[N++] = G[B];
    }
    if (I != 0) {
      Out[N++] = EFI_DEP_AND;
    }
  }
  if (N == Room) {
    return 0;
  }
  Out[N++] = EFI_DEP_END;
  return N;
}

Line &DescribeDepex(Line &L, const UINT8 *Bytes, UINTN Size) {
  for (UINTN I = 0; I < Size;) {
    if (Bytes[I] == EFI_DEP_PUSH && I + 1 + sizeof(EFI_GUID) <= Size) {
      EFI_GUID G;
      auto *P = reinterpret_cast<UINT8 *>(&G);
      for (UINTN B = 0; B < sizeof(EFI_GUID); ++B) {
        P[B] = Bytes[I + 1 + B];
      }
      L.Str("PUSH ").Guid(G).Str(" ");
      I += 1 + sizeof(EFI_GUID);
    } else {
      L.Str(Bytes[I] == EFI_DEP_AND ? "AND " : Bytes[I] == EFI_DEP_END ? "END" : "? ");
      ++I;
    }
  }
  return L;
}

// The dependency expression of File, read back from the volume its image
// came from, against Want.
VOID CheckDepexInVolume(const Section &Sec, const CHAR8 *Name, const DispatchedImage &Image,
                        const EFI_GUID &File, const UINT8 *Want, UINTN WantSize) {
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  VOID *Interface = nullptr;
  EFI_STATUS Status = Bs->HandleProtocol(Image.Loaded->DeviceHandle,
                                         &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status) || Interface == nullptr) {
    Sec.Check(Name, false,
              Line().Str("the image's device handle has no firmware volume: ").Status(Status));
    return;
  }
  const auto *Fv = static_cast<const EFI_FIRMWARE_VOLUME2_PROTOCOL *>(Interface);
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  UINT32 Authentication = 0;
  Status = Fv->ReadSection(Fv, &File, EFI_SECTION_DXE_DEPEX, 0, &Buffer, &Size, &Authentication);
  const auto *Bytes = static_cast<const UINT8 *>(Buffer);
  bool Same = !EFI_ERROR(Status) && Bytes != nullptr && Size == WantSize;
  for (UINTN I = 0; Same && I < Size; ++I) {
    Same = Bytes[I] == Want[I];
  }
  if (!EFI_ERROR(Status) && Bytes != nullptr) {
    Line L;
    L.Str("its DXE_DEPEX in the volume: ");
    Sec.Info(DescribeDepex(L, Bytes, Size));
  }
  Sec.Check(Name, Same,
            EFI_ERROR(Status) ? Line().Str("ReadSection(DXE_DEPEX) = ").Status(Status)
                              : Line().Dec(Size).Str(" bytes, not the expression built"));
  if (Buffer != nullptr) {
    Bs->FreePool(Buffer);
  }
}

Line &DescribeImage(Line &L, const DispatchedImage &Image) {
  const EFI_GUID *File = FirmwareFileOf(Image.Loaded->FilePath);
  L.Str("loaded image ").Dec(Image.Position).Str(" at ").Hex(Image.Range().Base).Str(", ")
      .Dec(Image.Range().Size).Str(" bytes, FilePath names firmware file ");
  return File != nullptr ? L.Guid(*File) : L.Str("(none)");
}

// The VERSION section of File as the volume holds it: which build of the
// driver the image carries (fwimage replace changes it).
VOID CheckVersionInVolume(const Section &Sec, const EFI_GUID &File, const CHAR8 *Want) {
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  const bool Read = ReadFileSection(File, EFI_SECTION_VERSION, &Buffer, &Size);
  // After the UINT16 build number: the string, NUL-terminated UCS-2.
  const UINTN Chars = Read && Size >= sizeof(UINT16) ? (Size - sizeof(UINT16)) / sizeof(CHAR16) : 0;
  const auto *Text = Read ? reinterpret_cast<const CHAR16 *>(static_cast<const UINT8 *>(Buffer) +
                                                            sizeof(UINT16))
                          : nullptr;
  bool Same = Chars > 0;
  UINTN I = 0;
  for (; Same && Want[I] != 0; ++I) {
    Same = I < Chars && Text[I] == static_cast<CHAR16>(Want[I]);
  }
  Same = Same && I < Chars && Text[I] == 0;
  if (Chars > 0 && Text[Chars - 1] == 0) {
    Sec.Info(Line().Str("BoardSetupDxe's VERSION section: ").Wide(Text));
  }
  Sec.Check("version-in-volume", Same,
            Read ? Line().Str("want ").Quoted(Want) : Line().Str("no VERSION section in the file"));
  if (Read) {
    gApp.BootServices->FreePool(Buffer);
  }
}

}  // namespace

VOID CheckDispatch(const Section &Sec, DispatchContext &Context) {
  const DxeStandInRecord &Record = *Context.Record;
  DispatchedImage &Board = Context.BoardSetup;
  Context.BoardSetupFound = FindDispatchedImage(DispatchBoot::BoardSetupDxeFile, &Board);
  if (!Sec.Check("board-setup-dxe-from-volume", Context.BoardSetupFound,
                 "no loaded image names BoardSetupDxe's firmware file")) {
    return;
  }
  SetDriverUnderTest(Board.Range());
  Line L;
  L.Str("BoardSetupDxe: ");
  Sec.Info(DescribeImage(L, Board));

  // The DXE core is the first image it records, and the parent of every
  // driver its dispatcher loads.
  EFI_HANDLE Core = FirstLoadedImage();
  Sec.Info(Line().Str("its parent image ").Hex(reinterpret_cast<UINTN>(Board.Loaded->ParentHandle))
               .Str(", the DXE core's ").Hex(reinterpret_cast<UINTN>(Core))
               .Str(", this application's ")
               .Hex(reinterpret_cast<UINTN>(gApp.ImageHandle)));
  Sec.Check("started-by-dxe-core",
            Board.Loaded->ParentHandle == Core && Core != nullptr &&
                Board.Loaded->ParentHandle != gApp.ImageHandle,
            "its parent image is not the DXE core");

  UINT8 Want[MaxDepexSize];
  const EFI_GUID *VariableArch[] = {&EFI_VARIABLE_ARCH_PROTOCOL_GUID};
  CheckDepexInVolume(Sec, "depex-in-volume", Board, DispatchBoot::BoardSetupDxeFile, Want,
                     BuildDepex(VariableArch, 1, Want, sizeof(Want)));
  VOID *Ignored = nullptr;
  const EFI_STATUS Arch =
      gApp.BootServices->LocateProtocol(&EFI_VARIABLE_ARCH_PROTOCOL_GUID, nullptr, &Ignored);
  Sec.Check("depex-holds", !EFI_ERROR(Arch),
            Line().Str("variable architectural protocol: ").Status(Arch));
  for (const Bench::Scenario &Known : Bench::Scenarios) {
    if (Known.Id == Context.Scenario->Id) {
      CheckVersionInVolume(Sec, DispatchBoot::BoardSetupDxeFile, Known.BoardSetupDxeVersion);
    }
  }

  // The stand-in: after BoardSetupDxe, by its own expression.
  DispatchedImage StandIn{};
  if (!Sec.Check("stand-in-from-volume",
                 FindDispatchedImage(DispatchBoot::DxeStandInFile, &StandIn),
                 "no loaded image names the DXE stand-in's firmware file")) {
    return;
  }
  L = Line();
  L.Str("DXE stand-in: ");
  Sec.Info(DescribeImage(L, StandIn));
  Sec.Check("stand-in-started-by-dxe-core", StandIn.Loaded->ParentHandle == Core,
            "its parent image is not the DXE core");
  UINT8 WantStandIn[MaxDepexSize];
  CheckDepexInVolume(Sec, "stand-in-depex-in-volume", StandIn, DispatchBoot::DxeStandInFile,
                     WantStandIn,
                     BuildDepex(DxeStandInDepex, DxeStandInDepexCount, WantStandIn,
                                sizeof(WantStandIn)));
  bool Held = true;
  for (EFI_STATUS S : Record.DepexLookups) {
    Held = Held && !EFI_ERROR(S);
  }
  Sec.Check("stand-in-depex-held-at-entry", Held, "a protocol was missing at the stand-in's entry");
  Sec.Check("board-setup-dxe-first", Board.Position < StandIn.Position,
            Line().Str("BoardSetupDxe is loaded image ").Dec(Board.Position).Str(", the stand-in ")
                .Dec(StandIn.Position));
  Sec.Check("nic-protocol-before-stand-in", Board.Range().Contains(Record.NicInterface),
            "the stand-in did not find BoardSetupDxe's NIC protocol at its entry");
}
