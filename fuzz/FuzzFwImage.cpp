// fwimage's edits over arbitrary images. The image is listed first (see
// FwImageFuzz.h); where it parses, one edit, picked by the steering byte,
// must give an image of the same size (the edit's own check reads it back
// and finds what it asked for) or refuse: insert, for the image's machine (a
// large file makes a tight compressed volume grow) or another; replace of a
// file by itself or by a larger copy; remove; extract. The image is edited as
// it is, or as the BIOS region of a full SPI image (a flash descriptor, a
// platform-data region): there every byte outside the region must stay.
//
// Steering byte: bits 2:0 the edit, 4:3 where the image sits, 5 which file
// replace, remove and extract act on (the first or the last), 7:5 how the
// listing is printed (FwImageFuzz.h; bit 5 serves both).
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "Edit.h"
#include "Ffs.h"
#include "FwImageFuzz.h"
#include "Machine.h"

namespace {

using namespace fwfuzz;

Bytes MakeDriver(size_t PeSize, uint16_t Machine) {
  FfsBuildInput In;
  In.Name = *Guid::Parse("F0220F00-0000-4000-8000-00000000F022");
  In.Pe.assign(PeSize, 0);
  In.Pe[0] = 'M';
  In.Pe[1] = 'Z';
  In.Pe[pe::DosNewHeaderField] = 0x40;
  WriteLe(&In.Pe[0x40], pe::PeSignature, sizeof(uint32_t));
  WriteLe(&In.Pe[0x40 + pe::CoffMachineOffset], Machine, sizeof(uint16_t));
  WriteLe(&In.Pe[0x40 + pe::PeOptionalHeaderOffset], pe::Pe32PlusMagic, sizeof(uint16_t));
  In.Depex = {0x06, 0x08};
  In.Ui = "Fuzz";
  In.Version = "1";
  return BuildFfsFile(In);
}

// Small: fits most free space. Large: outgrows the free space of most small
// volumes, so a compressed volume must grow.
constexpr size_t SmallPe = 0x80;
constexpr size_t LargePe = 0x1000;

// The machine new files are built for: the DXE core's, else the first
// image's, as insert's own rule (Machine.h) would mostly choose.
uint16_t ImageMachineOf(const Image &Img) {
  class Finder : public Visitor {
  public:
    std::optional<uint16_t> Core, First;
    bool EnterFile(const File &F) override {
      if (F.Machine && !First) {
        First = F.Machine;
      }
      if (F.Machine && !Core && F.Type == ffs::TypeDxeCore) {
        Core = F.Machine;
      }
      return true;
    }
  } Find;
  Walk(Img, Find);
  return Find.Core.value_or(Find.First.value_or(pe::MachineX64));
}

// The edit gives an image of the same size whose bytes outside the region
// are the original ones, or refuses.
template <typename Edit> void Check(const Target &T, Edit Run) {
  Bytes New;
  try {
    New = Run();
  } catch (const Error &) {
    return;
  }
  const auto Begin = static_cast<std::ptrdiff_t>(T.RegionBegin);
  const auto End = static_cast<std::ptrdiff_t>(T.RegionEnd);
  if (New.size() != T.Data.size() || !std::equal(T.Data.begin(), T.Data.begin() + Begin, New.begin()) ||
      !std::equal(T.Data.begin() + End, T.Data.end(), New.begin() + End)) {
    std::abort(); // the image changed size, or a byte outside the volume area changed
  }
}

// The first or last live, named file: what replace, remove and extract act on.
const File *FindVictim(const Image &Img, bool Last) {
  const File *Found = nullptr;
  for (const Volume &Fv : Img.Volumes) {
    for (const File &F : Fv.Files) {
      if (!F.Deleted && F.Type != ffs::TypePad) {
        if (!Last) {
          return &F;
        }
        Found = &F;
      }
    }
  }
  return Found;
}

// The file grown by a RAW section: in place where it fits, moved or refused
// where not. Nothing for a file that cannot grow so.
std::optional<Bytes> Grown(const Bytes &Data) {
  constexpr size_t Extra = 0x40;
  if (Data.size() < ffs::FileHeaderSize || Data.size() + Extra >= ffs::MaxSize24 ||
      (Data[ffs::AttributesOffset] & ffs::AttribLargeFile) != 0) {
    return std::nullopt;
  }
  Bytes Larger = Data;
  Larger.resize(AlignUp(Larger.size(), ffs::SectionAlignment), 0);
  AppendLe(Larger, Extra, ffs::Size24Width);
  Larger.push_back(ffs::SectionRaw);
  Larger.resize(Larger.size() + Extra - ffs::SectionHeaderSize, 0x5A);
  WriteLe(Larger.data() + ffs::SizeOffset, Larger.size(), ffs::Size24Width);
  SealFfsFile(Larger.data(), ffs::FileHeaderSize, Larger.size());
  return Larger;
}

enum class EditCase : uint8_t {
  InsertSmall,
  InsertLarge,
  InsertForeign, // a large file for another machine than the image's: refused
  ReplaceSame,
  ReplaceLarger,
  Remove,
  ExtractPe32,
  ExtractWhole,
};
constexpr uint8_t EditMask = 0x7;
constexpr uint8_t LastVictim = 0x20;

void RunEditCase(const Target &T, const Image &Parsed, uint8_t Steer) {
  const ParseLimits &Limits = FuzzLimits();
  EditOptions Options;
  Options.Preset = 0;
  const auto Insert = [&](size_t PeSize, uint16_t Machine) {
    const Bytes File = MakeDriver(PeSize, Machine);
    Check(T, [&] { return InsertFiles(T.Data, {File}, Options, nullptr, Limits); });
  };
  const uint16_t Machine = ImageMachineOf(Parsed);
  const auto Case = static_cast<EditCase>(Steer & EditMask);
  switch (Case) {
  case EditCase::InsertSmall:
    return Insert(SmallPe, Machine);
  case EditCase::InsertLarge:
    return Insert(LargePe, Machine);
  case EditCase::InsertForeign:
    return Insert(LargePe, Machine == pe::MachineX64 ? pe::MachineAArch64 : pe::MachineX64);
  default:
    break;
  }
  const File *Victim = FindVictim(Parsed, (Steer & LastVictim) != 0);
  if (Victim == nullptr) {
    return;
  }
  const ByteView Stored = Victim->At.Buf.subspan(Victim->Offset, Victim->Size);
  const Bytes Data(Stored.begin(), Stored.end());
  const Guid Name = Victim->Name;
  switch (Case) {
  case EditCase::ReplaceSame:
    return Check(T, [&] { return ReplaceFiles(T.Data, {Data}, Options, nullptr, Limits); });
  case EditCase::ReplaceLarger:
    if (const std::optional<Bytes> Larger = Grown(Data)) {
      Check(T, [&] { return ReplaceFiles(T.Data, {*Larger}, Options, nullptr, Limits); });
    }
    return;
  case EditCase::Remove:
    return Check(T, [&] { return RemoveFiles(T.Data, {Name}, Options, nullptr, Limits); });
  default:
    break;
  }
  const std::optional<SectionKind> Kind =
      Case == EditCase::ExtractPe32 ? std::optional<SectionKind>(SectionKind::Pe32) : std::nullopt;
  try {
    const Bytes Got = ExtractFile(T.Data, Name, Kind, std::nullopt, Limits);
    if (!Kind && Got != Data) {
      std::abort(); // the file as stored is not what the parse found
    }
  } catch (const Error &) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::optional<FuzzInput> In = SplitInput(Data, Size);
  if (!In) {
    return 0;
  }
  const Target T = PlaceImage(In->Image, In->Steer);
  const std::optional<Image> Parsed = CheckListing(T.Data, In->Steer);
  if (Parsed) {
    RunEditCase(T, *Parsed, In->Steer);
  }
  return 0;
}
