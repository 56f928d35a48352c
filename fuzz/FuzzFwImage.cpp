// fwimage's image parser over arbitrary bytes: it reads flash images from
// anywhere, so it must refuse (Error) rather than crash, read out of bounds,
// loop or allocate without bound. `list` reads tolerantly: it never refuses,
// and when it finds no fault the strict parse must accept the image. When the
// bytes happen to parse, every edit (insert, which grows a tight compressed
// volume; replace of a file by itself and by a larger copy; remove) must give
// an image of the same size that parses again, or refuse. The same again with
// the bytes as the BIOS region of a full SPI image (a flash descriptor, a
// platform-data region after it): an insert or remove there must leave every
// byte outside the BIOS region as it was.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "Descriptor.h"
#include "Edit.h"
#include "Ffs.h"
#include "FirmwareVolume.h"
#include "List.h"

namespace {

using namespace fwimage;

// Smaller than the tool's limits so one input stays cheap; the bound under
// test is the same.
constexpr uint16_t X64 = 0x8664;
constexpr uint16_t AArch64 = 0xAA64;

ParseLimits FuzzLimits() {
  ParseLimits L;
  L.MaxStreamSize = 1 << 20;
  L.MaxTotalDecoded = 4 << 20;
  return L;
}

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

// The edit gives an image of the same size that reads back, or refuses
// (nothing returned).
template <typename Edit> std::optional<Bytes> Check(size_t Size, const ParseLimits &Limits, Edit Run) {
  Bytes NewImage;
  try {
    NewImage = Run();
  } catch (const Error &) {
    return std::nullopt;
  }
  if (NewImage.size() != Size) {
    std::abort();
  }
  try {
    ParseVolumeArea(NewImage, Limits);
  } catch (const Error &) {
    std::abort(); // the tool wrote an image it cannot read back
  }
  return NewImage;
}

// The first live, named file of the image, with its bytes: what replace and
// remove act on.
struct Victim {
  Guid Name;
  Bytes Data;
  bool Found = false;
};

void FindVictim(ByteView Buf, const std::vector<Volume> &Volumes, Victim &V) {
  for (const Volume &Fv : Volumes) {
    for (const File &F : Fv.Files) {
      if (V.Found) {
        return;
      }
      if (!F.Deleted && F.Type != ffs::TypePad) {
        V = {F.Name, Bytes(Buf.begin() + static_cast<long>(F.Offset), Buf.begin() + static_cast<long>(F.Offset + F.Size)),
             true};
        return;
      }
    }
  }
}

// The layout kit-check's SPI image has, shrunk: descriptor at 0, the input
// as the BIOS region from 0x1000 (erased up to a 4 KiB multiple), then 4 KiB
// of platform data.
constexpr size_t RegionUnit = 0x1000;
constexpr size_t BiosAt = RegionUnit;
constexpr uint32_t FlashMap0 = 0x00040003; // components at 0x30, regions at 0x40
constexpr uint32_t FlashMap1 = 0x06;       // masters at 0x60: eight region entries
constexpr size_t RegionTable = 0x40;
constexpr size_t RegionEntries = 8;

Bytes InFlashImage(ByteView Input) {
  const size_t BiosSize = AlignUp(std::max<size_t>(Input.size(), 1), RegionUnit);
  const size_t PdrAt = BiosAt + BiosSize;
  Bytes Flash(PdrAt + RegionUnit, 0xFF);
  std::fill(Flash.begin() + fd::SignatureOffset, Flash.begin() + BiosAt, 0);
  WriteLe(&Flash[fd::SignatureOffset], fd::Signature, sizeof(uint32_t));
  WriteLe(&Flash[fd::FlashMap0Offset], FlashMap0, sizeof(uint32_t));
  WriteLe(&Flash[fd::FlashMap1Offset], FlashMap1, sizeof(uint32_t));
  constexpr size_t Regions = RegionTable;
  for (size_t I = 0; I < RegionEntries; ++I) {
    WriteLe(&Flash[Regions + I * fd::RegionEntrySize], fd::RegionUnused, sizeof(uint32_t));
  }
  auto Entry = [](size_t At, size_t Length) {
    return static_cast<uint32_t>(((At + Length) / RegionUnit - 1) << fd::RegionLimitShift | At / RegionUnit);
  };
  WriteLe(&Flash[Regions + fd::RegionDescriptor * fd::RegionEntrySize], Entry(0, RegionUnit), sizeof(uint32_t));
  WriteLe(&Flash[Regions + fd::RegionBios * fd::RegionEntrySize], Entry(BiosAt, BiosSize), sizeof(uint32_t));
  WriteLe(&Flash[Regions + fd::RegionPlatformData * fd::RegionEntrySize], Entry(PdrAt, RegionUnit),
          sizeof(uint32_t));
  std::copy(Input.begin(), Input.end(), Flash.begin() + BiosAt);
  for (size_t I = PdrAt; I < Flash.size(); ++I) {
    Flash[I] = static_cast<uint8_t>(I * 7 + 3);
  }
  return Flash;
}

void CheckListing(ByteView Image, const ParseLimits &Limits) {
  // No try: an Error out of the tolerant reader is a fault of the reader.
  const Listing L = ReadListing(Image, Limits);
  std::ostringstream Text;
  PrintListing(Text, L);
  std::ostringstream Json;
  PrintListingJson(Json, L);
  if (L.FaultCount() == 0) {
    try {
      ParseVolumeArea(Image, Limits);
    } catch (const Error &) {
      std::abort(); // the listing saw nothing wrong where the strict parse refuses
    }
  }
}

// The bytes outside the BIOS region of an edited SPI image are the original ones.
void CheckOutsideBios(const Bytes &Flash, const std::optional<Bytes> &NewFlash, size_t InputSize) {
  if (!NewFlash) {
    return;
  }
  const size_t BiosEnd = BiosAt + AlignUp(std::max<size_t>(InputSize, 1), RegionUnit);
  if (!std::equal(Flash.begin(), Flash.begin() + BiosAt, NewFlash->begin()) ||
      !std::equal(Flash.begin() + static_cast<std::ptrdiff_t>(BiosEnd), Flash.end(),
                  NewFlash->begin() + static_cast<std::ptrdiff_t>(BiosEnd))) {
    std::abort(); // a byte outside the BIOS region changed
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static const ParseLimits Limits = FuzzLimits();
  const ByteView Input(Data, Size);
  try {
    ParseStandaloneFile(Input, Limits);
  } catch (const Error &) {
  }
  CheckListing(Input, Limits);
  const Bytes Flash = InFlashImage(Input);
  CheckListing(Flash, Limits);
  Image Parsed;
  try {
    Parsed = ParseVolumeArea(Input, Limits);
    std::ostringstream Out;
    PrintImage(Out, Parsed);
  } catch (const Error &) {
    return 0;
  }
  EditOptions Options;
  Options.Preset = 0;
  Check(Size, Limits, [&] { return InsertFiles(Input, {SmallDriver()}, Options, nullptr, Limits); });
  for (const uint16_t Machine : {X64, AArch64}) {
    Check(Size, Limits, [&] { return InsertFiles(Input, {LargeDriver(Machine)}, Options, nullptr, Limits); });
  }
  CheckOutsideBios(Flash, Check(Flash.size(), Limits, [&] {
                     return InsertFiles(Flash, {SmallDriver()}, Options, nullptr, Limits);
                   }),
                   Size);
  Victim V;
  FindVictim(Input, Parsed.Volumes, V);
  if (!V.Found) {
    return 0;
  }
  EditOptions Edit;
  Edit.Preset = 0;
  Check(Size, Limits, [&] { return ReplaceFiles(Input, {V.Data}, Edit, nullptr, Limits); });
  // The same file grown by a RAW section: in place where it fits, moved or refused where not.
  Bytes Larger = V.Data;
  if (Larger.size() >= ffs::FileHeaderSize && Larger.size() + 0x40 < ffs::MaxSize24 &&
      (Larger[ffs::AttributesOffset] & ffs::AttribLargeFile) == 0) {
    Larger.resize(AlignUp(Larger.size(), ffs::SectionAlignment), 0);
    AppendLe(Larger, 0x40, ffs::Size24Width);
    Larger.push_back(ffs::SectionRaw);
    Larger.resize(Larger.size() + 0x40 - ffs::SectionHeaderSize, 0x5A);
    WriteLe(Larger.data() + ffs::SizeOffset, Larger.size(), ffs::Size24Width);
    SealFfsFile(Larger.data(), ffs::FileHeaderSize, Larger.size());
    Check(Size, Limits, [&] { return ReplaceFiles(Input, {Larger}, Edit, nullptr, Limits); });
  }
  Check(Size, Limits, [&] { return RemoveFiles(Input, {V.Name}, Edit, nullptr, Limits); });
  CheckOutsideBios(
      Flash, Check(Flash.size(), Limits, [&] { return RemoveFiles(Flash, {V.Name}, Edit, nullptr, Limits); }), Size);
  try {
    ExtractFile(Input, V.Name, SectionKind::Pe32, std::nullopt, Limits);
  } catch (const Error &) {
  }
  return 0;
}
