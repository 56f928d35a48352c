// fwimage's edits over arbitrary images. The image is listed first (see
// FwImageFuzz.h); where it parses, one edit, picked by the steering byte,
// must give an image of the same size (the edit's own check reads it back
// and finds what it asked for) or refuse: insert (a large file makes a
// tight compressed volume grow), replace of a file by itself or by a larger
// copy, remove, extract. The image is edited as it is, or as the BIOS region
// of a full SPI image (a flash descriptor, a platform-data region): there
// every byte outside the region must stay as it was.
//
// Steering byte: bits 2:0 the edit, 4:3 where the image sits, 5 which file
// replace, remove and extract act on (the first or the last), 7:6 the
// listing's format.
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "Edit.h"
#include "Ffs.h"
#include "FwImageFuzz.h"

namespace {

using namespace fwfuzz;

constexpr uint16_t X64 = 0x8664;
constexpr uint16_t AArch64 = 0xAA64;

Bytes MakeDriver(size_t PeSize, uint16_t Machine) {
  FfsBuildInput In;
  In.Name = *Guid::Parse("F0220F00-0000-4000-8000-00000000F022");
  In.Pe.assign(PeSize, 0);
  In.Pe[0] = 'M';
  In.Pe[1] = 'Z';
  In.Pe[0x3C] = 0x40;
  In.Pe[0x40] = 'P';
  In.Pe[0x41] = 'E';
  In.Pe[0x40 + 4] = static_cast<uint8_t>(Machine);
  In.Pe[0x40 + 5] = static_cast<uint8_t>(Machine >> 8);
  In.Pe[0x40 + 24] = 0x0B;
  In.Pe[0x40 + 25] = 0x02;
  In.Depex = {0x06, 0x08};
  In.Ui = "Fuzz";
  In.Version = "1";
  return BuildFfsFile(In);
}

const Bytes &SmallDriver() {
  static const Bytes File = MakeDriver(0x80, X64);
  return File;
}

// Large enough to outgrow the free space of most small volumes: the inputs
// where a compressed volume grows. For both machines the seeds carry.
const Bytes &LargeDriver(uint16_t Machine) {
  static const Bytes X64File = MakeDriver(0x1000, X64);
  static const Bytes AArch64File = MakeDriver(0x1000, AArch64);
  return Machine == X64 ? X64File : AArch64File;
}

// The image to edit and the bytes an edit may change: [RegionBegin,
// RegionEnd) of Data. Flash holds them when the image was put into an SPI
// image.
struct Target {
  Bytes Flash;
  ByteView Data;
  size_t RegionBegin = 0;
  size_t RegionEnd = 0;
};

enum class Where : uint8_t {
  AsGiven,
  BiosRegion,      // after the descriptor, a platform-data region after it
  WholeFlashBios,  // the BIOS entry spans the whole flash, read from the end of the last other region
  TwoChipBios,     // BiosRegion on two chips whose densities are 4-bit fields
};
constexpr unsigned WhereShift = 3;
constexpr uint8_t WhereMask = 0x3;

// The layout kit-check's SPI image has, shrunk: descriptor at 0 (FLMAP0
// 0x00040003: components at 0x30, regions at 0x40; FLMAP1 0x06: masters at
// 0x60, so eight region entries), regions in 4 KiB units.
constexpr size_t RegionUnit = fd::RegionUnit;
constexpr uint32_t FlashMap0 = 0x00040003;
constexpr uint32_t FlashMap1 = 0x06;
constexpr size_t ComponentTable = 0x30;
constexpr size_t RegionTable = 0x40;
constexpr size_t RegionEntries = 8;
// FLCOMP's read clock field at anything but 20 MHz makes the density fields 4 bits wide.
constexpr uint32_t ReadClockWide = 1U << fd::ReadClockShift;

// The smallest density code whose chip holds Size bytes.
uint32_t DensityCode(size_t Size) {
  uint32_t Code = 0;
  while ((fd::SmallestDensity << Code) < Size) {
    ++Code;
  }
  return Code;
}

void PutRegion(Bytes &Flash, unsigned Index, size_t At, size_t Length) {
  const auto Entry = static_cast<uint32_t>(((At + Length) / RegionUnit - 1) << fd::RegionLimitShift | At / RegionUnit);
  WriteLe(&Flash[RegionTable + Index * fd::RegionEntrySize], Entry, sizeof(uint32_t));
}

// A flash of Size bytes, erased, with a descriptor of Chips chips whose
// densities cover Size, no region set yet.
Bytes Descriptor(size_t Size, unsigned Chips) {
  Bytes Flash(Size, 0xFF);
  std::fill(Flash.begin() + fd::SignatureOffset, Flash.begin() + fd::DescriptorSize, 0);
  WriteLe(&Flash[fd::SignatureOffset], fd::Signature, sizeof(uint32_t));
  WriteLe(&Flash[fd::FlashMap0Offset], FlashMap0 | (Chips - 1) << fd::ComponentCountShift, sizeof(uint32_t));
  WriteLe(&Flash[fd::FlashMap1Offset], FlashMap1, sizeof(uint32_t));
  const uint32_t Code = DensityCode(AlignUp(Size, Chips) / Chips);
  const uint32_t Flcomp = Chips == 1 ? Code : (ReadClockWide | Code << fd::WideDensityBits | Code);
  WriteLe(&Flash[ComponentTable], Flcomp, sizeof(uint32_t));
  for (size_t I = 0; I < RegionEntries; ++I) {
    WriteLe(&Flash[RegionTable + I * fd::RegionEntrySize], fd::RegionUnused, sizeof(uint32_t));
  }
  PutRegion(Flash, fd::RegionDescriptor, 0, fd::DescriptorSize);
  return Flash;
}

// Platform data: bytes no erase or edit would write.
void FillPlatformData(Bytes &Flash, size_t At) {
  PutRegion(Flash, fd::RegionPlatformData, At, RegionUnit);
  for (size_t I = At; I < At + RegionUnit; ++I) {
    Flash[I] = static_cast<uint8_t>(I * 7 + 3);
  }
}

Target Place(ByteView Image, Where At) {
  Target T;
  const size_t BiosSize = AlignUp(std::max<size_t>(Image.size(), 1), RegionUnit);
  if (At == Where::AsGiven) {
    T.Data = Image;
    T.RegionEnd = Image.size();
    return T;
  }
  if (At == Where::WholeFlashBios) {
    // The flash is exactly as large as its chip; the BIOS region as read is
    // the image, at the top, after the platform data.
    const size_t Size = fd::SmallestDensity << DensityCode(fd::DescriptorSize + RegionUnit + BiosSize);
    T.Flash = Descriptor(Size, 1);
    T.RegionBegin = Size - BiosSize;
    FillPlatformData(T.Flash, T.RegionBegin - RegionUnit);
    PutRegion(T.Flash, fd::RegionBios, 0, Size);
  } else {
    T.RegionBegin = fd::DescriptorSize;
    T.Flash = Descriptor(T.RegionBegin + BiosSize + RegionUnit, At == Where::TwoChipBios ? 2 : 1);
    FillPlatformData(T.Flash, T.RegionBegin + BiosSize);
    PutRegion(T.Flash, fd::RegionBios, T.RegionBegin, BiosSize);
  }
  T.RegionEnd = T.RegionBegin + BiosSize;
  std::copy(Image.begin(), Image.end(), T.Flash.begin() + static_cast<std::ptrdiff_t>(T.RegionBegin));
  T.Data = T.Flash;
  return T;
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
  InsertLargeX64,
  InsertLargeAArch64,
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
  const auto Insert = [&](const Bytes &File) {
    Check(T, [&] { return InsertFiles(T.Data, {File}, Options, nullptr, Limits); });
  };
  const auto Case = static_cast<EditCase>(Steer & EditMask);
  switch (Case) {
  case EditCase::InsertSmall:
    return Insert(SmallDriver());
  case EditCase::InsertLargeX64:
    return Insert(LargeDriver(X64));
  case EditCase::InsertLargeAArch64:
    return Insert(LargeDriver(AArch64));
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
  const Target T = Place(In->Image, static_cast<Where>((In->Steer >> WhereShift) & WhereMask));
  const std::optional<Image> Parsed = CheckListing(T.Data, In->Steer);
  if (Parsed) {
    RunEditCase(T, *Parsed, In->Steer);
  }
  return 0;
}
