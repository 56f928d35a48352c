// The load of UsbSupportS5Smm as the SMM stand-in saw it. The SMM core loads
// an SMM driver from the firmware volume into SMRAM and runs its entry in
// SMM; an image started with LoadImage runs outside SMRAM, never reaches the
// SMM protocol database and registers nothing. So the proof of a real
// dispatch is a registration with the stand-in's SMM-only dispatchers from
// code in SMRAM, inside an image whose headers are those of the PE32
// section of UsbSupportS5Smm's file in the firmware volume.
#include "DispatchBoot.h"
#include "DispatchedImages.h"
#include "PeImage.h"
#include "SmmBench.h"

namespace {

using SmmTest::Registration;

constexpr UINTN MaxSmramRanges = SmmTest::MaxSmramRanges;

struct SmramRanges {
  EFI_SMRAM_DESCRIPTOR Range[MaxSmramRanges];
  UINTN Count;
  EFI_STATUS Status;
  bool Contains(UINT64 Address, UINT64 Length = 1) const {
    for (UINTN I = 0; I < Count; ++I) {
      const EFI_SMRAM_DESCRIPTOR &R = Range[I];
      if (Address >= R.CpuStart && Address - R.CpuStart < R.PhysicalSize &&
          Length <= R.PhysicalSize - (Address - R.CpuStart)) {
        return true;
      }
    }
    return false;
  }
};

// SMRAM as the platform's EFI_SMM_ACCESS2_PROTOCOL reports it to DXE: our
// own reading, not the stand-in's.
SmramRanges ReadSmramRanges() {
  SmramRanges Ranges = {};
  VOID *Interface = nullptr;
  Ranges.Status =
      gApp.BootServices->LocateProtocol(&EFI_SMM_ACCESS2_PROTOCOL_GUID, nullptr, &Interface);
  if (EFI_ERROR(Ranges.Status) || Interface == nullptr) {
    return Ranges;
  }
  auto *Access = static_cast<EFI_SMM_ACCESS2_PROTOCOL *>(Interface);
  UINTN Size = sizeof(Ranges.Range);
  Ranges.Status = Access->GetCapabilities(Access, &Size, Ranges.Range);
  if (!EFI_ERROR(Ranges.Status)) {
    Ranges.Count = Size / sizeof(EFI_SMRAM_DESCRIPTOR);
  }
  return Ranges;
}

bool IsS5Entry(const Registration &R) { return R.Context[0] == SxS5 && R.Context[1] == SxEntry; }
bool IsPowerButtonEntry(const Registration &R) { return R.Context[0] == EfiPowerButtonEntry; }

// The one live registration that Matches, or NULL when there is none or more.
template <typename Predicate>
const Registration *OnlyOne(const Registration *List, UINT32 Count, Predicate Matches,
                            UINT32 *Found) {
  const Registration *One = nullptr;
  *Found = 0;
  for (UINT32 I = 0; I < Count && I < SmmTest::MaxRegistrations; ++I) {
    if (List[I].Live && Matches(List[I])) {
      ++*Found;
      One = &List[I];
    }
  }
  return *Found == 1 ? One : nullptr;
}

bool InImage(const SmmTest::Report &R, UINT64 Address) {
  return R.ImageFound && Address >= R.ImageBase && Address - R.ImageBase < R.ImageSizeOfImage;
}

constexpr const CHAR8 *SleepTypeNames[] = {"SxS0", "SxS1", "SxS2", "SxS3", "SxS4", "SxS5"};
constexpr const CHAR8 *SleepPhaseNames[] = {"SxEntry", "SxExit"};
constexpr const CHAR8 *PowerButtonPhaseNames[] = {"EfiPowerButtonEntry", "EfiPowerButtonExit"};

template <UINTN N>
const CHAR8 *NameOf(const CHAR8 *const (&Names)[N], UINT32 Value) {
  return Value < N ? Names[Value] : "?";
}

VOID InfoRegistrations(const Section &Sec, const SmmTest::Report &R) {
  for (UINT32 I = 0; I < R.SxCount && I < SmmTest::MaxRegistrations; ++I) {
    const Registration &Reg = R.Sx[I];
    Sec.Info(Line().Str("Sx dispatcher: {").Str(NameOf(SleepTypeNames, Reg.Context[0])).Str(", ")
                 .Str(NameOf(SleepPhaseNames, Reg.Context[1])).Str("} handler ").Hex(Reg.Handler)
                 .Str(", registered by code at ").Hex(Reg.Caller)
                 .Str(Reg.Live ? "" : " (unregistered)")
                 .Str(IsS5Entry(Reg) ? "" : " (OVMF's; never raised at S5)"));
  }
  for (UINT32 I = 0; I < R.PowerButtonCount && I < SmmTest::MaxRegistrations; ++I) {
    const Registration &Reg = R.PowerButton[I];
    Sec.Info(Line().Str("power-button dispatcher: {")
                 .Str(NameOf(PowerButtonPhaseNames, Reg.Context[0])).Str("} handler ")
                 .Hex(Reg.Handler).Str(", registered by code at ").Hex(Reg.Caller)
                 .Str(Reg.Live ? "" : " (unregistered)"));
  }
}

// The PE headers of File's PE32 section, from whichever firmware volume
// holds it.
bool ImageInVolume(const EFI_GUID &File, PeImage::Facts *Out) {
  VOID *Buffer = nullptr;
  UINTN Bytes = 0;
  if (!ReadFileSection(File, EFI_SECTION_PE32, &Buffer, &Bytes)) {
    return false;
  }
  const bool Parsed = Bytes >= PeImage::HeaderBytesNeeded &&
                      PeImage::Parse(static_cast<const UINT8 *>(Buffer), Out);
  gApp.BootServices->FreePool(Buffer);
  return Parsed;
}

// The image the SMM core put into SMRAM against the one in the volume.
bool SameImage(const Section &Sec, const SmmTest::Report &R, Line *Detail) {
  PeImage::Facts InVolume = {};
  if (!ImageInVolume(DispatchBoot::UsbSupportS5SmmFile, &InVolume)) {
    Detail->Str("no PE32 section of UsbSupportS5Smm's file in any firmware volume");
    return false;
  }
  Sec.Info(Line().Str("UsbSupportS5Smm in the firmware volume: stamp ").Hex(InVolume.TimeDateStamp)
               .Str(", SizeOfImage ").Hex(InVolume.SizeOfImage).Str(", entry ")
               .Hex(InVolume.EntryRva).Str("; in SMRAM: ").Hex(R.ImageTimeDateStamp).Str(", ")
               .Hex(R.ImageSizeOfImage).Str(", ").Hex(R.ImageEntryRva));
  if (R.ImageTimeDateStamp != InVolume.TimeDateStamp ||
      R.ImageSizeOfImage != InVolume.SizeOfImage || R.ImageEntryRva != InVolume.EntryRva ||
      R.ImageSubsystem != InVolume.Subsystem) {
    Detail->Str("the image in SMRAM is not the one in the firmware volume");
    return false;
  }
  return true;
}

// What the UEFI handle database says about the SMM driver: the SMM core
// records the images it loads there too (FilePath naming the firmware
// file), with the SMRAM address it chose.
VOID CheckLoadedImageRecord(const Section &Sec, const SmmTest::Report &R,
                            const SmramRanges &Smram) {
  DispatchedImage Image = {};
  if (!Sec.Check("loaded-image-record",
                 FindDispatchedImage(DispatchBoot::UsbSupportS5SmmFile, &Image),
                 "no loaded-image record names UsbSupportS5Smm's firmware file")) {
    return;
  }
  const auto Base = reinterpret_cast<UINT64>(Image.Loaded->ImageBase);
  Sec.Info(Line().Str("loaded-image record: UsbSupportS5Smm at ").Hex(Base).Str(", ")
               .Dec(Image.Loaded->ImageSize).Str(" bytes")
               .Str(Smram.Contains(Base) ? " (in SMRAM)" : " (outside SMRAM)"));
  Sec.Check("loaded-image-in-smram", Base == R.ImageBase && Smram.Contains(Base),
            Line().Str("the record says ").Hex(Base).Str(", the stand-in found the image at ")
                .Hex(R.ImageBase));
}

VOID CheckNotDispatched(const Section &Sec, const SmmTest::Report &R,
                        const SmmBench::BootScenario &S) {
  DispatchedImage Image = {};
  Sec.Check("no-loaded-image-record",
            !FindDispatchedImage(DispatchBoot::UsbSupportS5SmmFile, &Image),
            "a loaded-image record names UsbSupportS5Smm's firmware file");
  UINT32 S5 = 0;
  UINT32 PowerButton = 0;
  OnlyOne(R.Sx, R.SxCount, IsS5Entry, &S5);
  OnlyOne(R.PowerButton, R.PowerButtonCount, IsPowerButtonEntry, &PowerButton);
  Sec.Check("not-dispatched",
            S5 == 0 && PowerButton == 0 && R.PowerButtonCount == 0 && !R.ImageFound &&
                R.DriverPoolAllocations == 0,
            Line().Str("S5-entry registrations ").Dec(S5).Str(", power-button ")
                .Dec(R.PowerButtonCount).Str(", driver image found ").Dec(R.ImageFound)
                .Str(", its pool blocks ").Dec(R.DriverPoolAllocations));
  if (!S.DriverInVolume) {
    PeImage::Facts Ignored = {};
    Sec.Check("absent-from-volume", !ImageInVolume(DispatchBoot::UsbSupportS5SmmFile, &Ignored),
              "a firmware volume still holds UsbSupportS5Smm's PE32 section");
    Sec.Info(Line().Str("UsbSupportS5Smm's file was removed from the image: no SMM driver to load,"
                    " nothing registered"));
    return;
  }
  Sec.Info(Line().Str("without SmmPlatformServiceProtocol the depex of UsbSupportS5Smm never holds:"
                  " the SMM core leaves it undispatched, nothing registered"));
}

}  // namespace

namespace SmmBench {

VOID CheckLoad(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S) {
  const SmmTest::Report &R = *Report;
  const bool WantPlatformService = S.PlatformService;
  Sec.Info(Line().Str("SMM stand-in ran in SMM: SMST ").Hex(R.Smst).Str(", scenario ")
               .Str(R.Scenario).Str(", SMRAM ranges ").Dec(R.SmramRangeCount));
  Sec.Check("standin-ready",
            R.EntryInSmm && R.DispatchersInstalled && R.GateInstalled && R.RootHandlerRegistered &&
                R.PlatformServiceInstalled == WantPlatformService &&
                TextEqual(R.Scenario, S.Name),
            Line().Str("in SMM ").Dec(R.EntryInSmm).Str(", platform service ")
                .Dec(R.PlatformServiceInstalled).Str(", dispatchers ").Dec(R.DispatchersInstalled)
                .Str(", gate ").Dec(R.GateInstalled).Str(", root handler ")
                .Dec(R.RootHandlerRegistered).Str(", scenario ").Str(R.Scenario));
  if (!Sec.Check("load-report", RaiseSmi(Report, SmmTest::ReportLoad),
                 "the load-report SMI was not handled")) {
    return;
  }
  InfoRegistrations(Sec, R);
  if (!S.Registered()) {
    CheckNotDispatched(Sec, R, S);
    return;
  }

  UINT32 S5Count = 0;
  UINT32 PowerButtonCount = 0;
  const Registration *S5 = OnlyOne(R.Sx, R.SxCount, IsS5Entry, &S5Count);
  const Registration *PowerButton =
      OnlyOne(R.PowerButton, R.PowerButtonCount, IsPowerButtonEntry, &PowerButtonCount);
  Sec.Check("s5-entry-registration", S5 != nullptr,
            Line().Str("live {SxS5, SxEntry} registrations: ").Dec(S5Count).Str(", want 1"));
  Sec.Check("power-button-registration",
            PowerButton != nullptr && R.PowerButtonCount == 1 && S5 != nullptr &&
                PowerButton->Handler == S5->Handler,
            Line().Str("live {EfiPowerButtonEntry} registrations: ").Dec(PowerButtonCount)
                .Str(" of ")
                .Dec(R.PowerButtonCount).Str(", handler ")
                .Hex(PowerButton != nullptr ? PowerButton->Handler : 0).Str(", S5 handler ")
                .Hex(S5 != nullptr ? S5->Handler : 0));
  Sec.Check("registrations-kept", R.UnRegisterCalls == 0 && R.RejectedRegisterCalls == 0,
            Line().Str("UnRegister calls ").Dec(R.UnRegisterCalls).Str(", rejected Register calls ")
                .Dec(R.RejectedRegisterCalls));
  if (S5 == nullptr) {
    return;
  }

  const SmramRanges Smram = ReadSmramRanges();
  for (UINTN I = 0; I < Smram.Count; ++I) {
    Sec.Info(Line().Str("SMRAM range ").Hex(Smram.Range[I].CpuStart).Str("..")
                 .Hex(Smram.Range[I].CpuStart + Smram.Range[I].PhysicalSize - 1).Str(" state ")
                 .Hex(Smram.Range[I].RegionState));
  }
  Sec.Check("handler-in-smram", Smram.Contains(S5->Handler),
            Line().Str("handler ").Hex(S5->Handler).Str(" outside the ").Dec(Smram.Count)
                .Str(" SMRAM ranges EFI_SMM_ACCESS2_PROTOCOL reports (").Status(Smram.Status)
                .Str(")"));

  Line Detail;
  const bool Loaded = R.ImageFound && Smram.Contains(R.ImageBase, R.ImageSizeOfImage) &&
                      InImage(R, S5->Handler) && InImage(R, S5->Caller) &&
                      PowerButton != nullptr && InImage(R, PowerButton->Caller);
  if (!Loaded) {
    Detail.Str("no image in SMRAM holds the handler and both Register calls (image ")
        .Hex(R.ImageBase).Str(" size ").Hex(R.ImageSizeOfImage).Str(")");
  }
  Sec.Check("dispatched-into-smram", Loaded && SameImage(Sec, R, &Detail), Detail);
  CheckLoadedImageRecord(Sec, R, Smram);

  // The driver's SMRAM: its image pages, and the SMM pool block of the
  // SMRAM map it keeps for its life (one 32-byte descriptor per range).
  const UINT64 ImagePages = (R.ImageSizeOfImage + EFI_PAGE_SIZE - 1) / EFI_PAGE_SIZE;
  const UINT64 MapBytes = Smram.Count * sizeof(EFI_SMRAM_DESCRIPTOR);
  Sec.Check("smram-map-block",
            R.DriverPoolAllocations == 1 && R.DriverPoolBytes == MapBytes &&
                Smram.Contains(R.DriverPoolBlock, R.DriverPoolBytes) && R.DriverPoolFrees == 0,
            Line().Str("pool blocks from the driver's load: ").Dec(R.DriverPoolAllocations)
                .Str(", ").Dec(R.DriverPoolBytes).Str(" bytes at ").Hex(R.DriverPoolBlock)
                .Str(", freed ").Dec(R.DriverPoolFrees).Str("; want one of ").Dec(MapBytes)
                .Str(" bytes in SMRAM, kept"));
  Sec.Info(Line().Str("UsbSupportS5Smm in SMRAM: image at ").Hex(R.ImageBase).Str(", SizeOfImage ")
               .Dec(R.ImageSizeOfImage).Str(" bytes = ").Dec(ImagePages).Str(" pages (")
               .Dec(ImagePages * EFI_PAGE_SIZE).Str(" bytes); SMRAM map pool block ")
               .Hex(R.DriverPoolBlock)
               .Str(", ").Dec(R.DriverPoolBytes).Str(" bytes = ").Dec(Smram.Count)
               .Str(" descriptors x 32; together ")
               .Dec(ImagePages * EFI_PAGE_SIZE + R.DriverPoolBytes)
               .Str(" bytes"));
}

}  // namespace SmmBench
