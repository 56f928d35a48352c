// What the fwimage fuzz targets share. An input is a steering byte, then the
// image: the byte picks what to do with the image (a format of the listing,
// an edit, where the image sits), so the fuzzer reaches each choice by
// mutating one byte and no input pays for all of them.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "Descriptor.h"
#include "List.h"
#include "Walk.h"

namespace fwfuzz {

using namespace fwimage;

// Far below the tool's limits so a hostile stream stays cheap; the checks
// against them are the same code.
inline const ParseLimits &FuzzLimits() {
  static const ParseLimits Limits = [] {
    ParseLimits L;
    L.MaxStreamSize = 64 << 10;
    L.MaxTotalDecoded = 256 << 10;
    return L;
  }();
  return Limits;
}

struct FuzzInput {
  uint8_t Steer = 0;
  ByteView Image;
};

inline std::optional<FuzzInput> SplitInput(const uint8_t *Data, size_t Size) {
  if (Size == 0) {
    return std::nullopt;
  }
  return FuzzInput{Data[0], ByteView(Data + 1, Size - 1)};
}

// Steering bits 4:3: where the image sits. As given, or as the BIOS region
// of a full SPI image shrunk from the layout kit-check's has: a flash
// descriptor at 0 (FLMAP0 0x00040003: components at 0x30, regions at 0x40;
// FLMAP1 0x06: masters at 0x60, so eight region entries), regions in 4 KiB
// units, a platform-data region next to the BIOS region, and an FLCOMP
// whose densities cover the flash.
constexpr unsigned WhereShift = 3;
constexpr uint8_t WhereMask = 0x3;
enum class Where : uint8_t {
  AsGiven,
  BiosRegion,     // after the descriptor, the platform data after it
  WholeFlashBios, // the BIOS entry spans the whole flash; read from the end of the platform data
  TwoChipBios,    // BiosRegion on two chips whose densities are 4-bit fields
};

// The image to list and edit, and the bytes an edit may change:
// [RegionBegin, RegionEnd) of Data.
struct Target {
  ByteView Data;
  size_t RegionBegin = 0;
  size_t RegionEnd = 0;
};

namespace detail {

constexpr size_t RegionUnit = fd::RegionUnit;
constexpr uint32_t FlashMap0 = 0x00040003;
constexpr uint32_t FlashMap1 = 0x06;
constexpr size_t ComponentTable = 0x30;
constexpr size_t RegionTable = 0x40;
constexpr size_t RegionEntries = 8;
// FLCOMP's read clock at anything but 20 MHz makes the density fields 4 bits wide.
constexpr uint32_t ReadClockWide = 1U << fd::ReadClockShift;

// The smallest density code whose chip holds Size bytes.
inline uint32_t DensityCode(size_t Size) {
  uint32_t Code = 0;
  while ((fd::SmallestDensity << Code) < Size) {
    ++Code;
  }
  return Code;
}

inline void PutRegion(Bytes &Flash, unsigned Index, size_t At, size_t Length) {
  const auto Entry = static_cast<uint32_t>(((At + Length) / RegionUnit - 1) << fd::RegionLimitShift | At / RegionUnit);
  WriteLe(&Flash[RegionTable + Index * fd::RegionEntrySize], Entry, sizeof(uint32_t));
}

// Flash as an erased part of Size bytes with a descriptor of Chips chips
// whose densities cover Size, the descriptor its only region so far. The
// buffer is reused from run to run: a whole flash is 512 KiB at least.
inline void Descriptor(Bytes &Flash, size_t Size, unsigned Chips) {
  Flash.assign(Size, 0xFF);
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
}

// Platform data: bytes no erase or edit would write.
inline void PlatformData(Bytes &Flash, size_t At) {
  PutRegion(Flash, fd::RegionPlatformData, At, RegionUnit);
  for (size_t I = At; I < At + RegionUnit; ++I) {
    Flash[I] = static_cast<uint8_t>(I * 7 + 3);
  }
}

} // namespace detail

// The image where Steer puts it. The bytes stay valid until the next call.
inline Target PlaceImage(ByteView Image, uint8_t Steer) {
  using namespace detail;
  static Bytes Flash;
  const auto At = static_cast<Where>((Steer >> WhereShift) & WhereMask);
  if (At == Where::AsGiven) {
    return {Image, 0, Image.size()};
  }
  const size_t BiosSize = AlignUp(std::max<size_t>(Image.size(), 1), RegionUnit);
  Target T;
  if (At == Where::WholeFlashBios) {
    // The flash is exactly as large as its chip; the BIOS region as read is
    // the image, at the top, after the platform data.
    const size_t Size = fd::SmallestDensity << DensityCode(fd::DescriptorSize + RegionUnit + BiosSize);
    Descriptor(Flash, Size, 1);
    T.RegionBegin = Size - BiosSize;
    PlatformData(Flash, T.RegionBegin - RegionUnit);
    PutRegion(Flash, fd::RegionBios, 0, Size);
  } else {
    T.RegionBegin = fd::DescriptorSize;
    Descriptor(Flash, T.RegionBegin + BiosSize + RegionUnit, At == Where::TwoChipBios ? 2 : 1);
    PlatformData(Flash, T.RegionBegin + BiosSize);
    PutRegion(Flash, fd::RegionBios, T.RegionBegin, BiosSize);
  }
  T.RegionEnd = T.RegionBegin + BiosSize;
  std::copy(Image.begin(), Image.end(), Flash.begin() + static_cast<std::ptrdiff_t>(T.RegionBegin));
  T.Data = Flash;
  return T;
}

// Steering bits 7:5: the listing printed where bits 7:6 are both set, as
// text (bit 5 clear) or as JSON. Printing costs as much as the reading; its
// code needs only some inputs.
constexpr uint8_t PrintBits = 0xC0;
constexpr uint8_t PrintJson = 0x20;

// Encapsulations the tool cannot open: the tolerant reader notes each as a
// fault, the strict one lets an edit elsewhere go on.
// The faults a strict parse lets through: unopened encapsulations, and stray
// bytes, which stop only an edit of the volume they sit in or next to.
class TolerableCounter : public Visitor {
public:
  size_t Count = 0;
  bool EnterVolume(const Volume &V) override {
    Count += V.Stray.size();
    return true;
  }
  bool EnterSection(const Section &S) override {
    Count += S.Opaque() ? 1 : 0;
    return true;
  }
};

// `list` over Data: the tolerant reader never refuses (an Error out of it
// ends the run as a crash), and it finds no fault other than unopened
// encapsulations and stray bytes exactly where the strict parse the edits use accepts.
// Returns that strict parse, if it accepts.
inline std::optional<Image> CheckListing(ByteView Data, uint8_t Steer) {
  const Listing L = ReadListing(Data, FuzzLimits());
  if ((Steer & PrintBits) == PrintBits) {
    std::ostringstream Out;
    if ((Steer & PrintJson) != 0) {
      PrintListingJson(Out, L);
    } else {
      PrintListing(Out, L);
    }
  }
  TolerableCounter Tolerable;
  Walk(L.Volumes, Tolerable);
  const bool Sound = L.FaultCount() == Tolerable.Count + L.Volumes.Stray.size();
  std::optional<Image> Strict;
  try {
    Strict = ParseVolumeArea(Data, FuzzLimits());
  } catch (const Error &) {
  }
  if (Sound != Strict.has_value()) {
    std::abort(); // the listing and the strict parse disagree on whether the image is sound
  }
  return Strict;
}

} // namespace fwfuzz
