#include "Descriptor.h"

#include <algorithm>
#include <array>

namespace fwimage {

namespace {

struct RegionName {
  unsigned Index;
  const char *Name;
};

constexpr std::array<RegionName, 6> RegionNames{{
    {fd::RegionDescriptor, "descriptor"},
    {fd::RegionBios, "BIOS"},
    {fd::RegionMe, "ME"},
    {fd::RegionGbe, "GbE"},
    {fd::RegionPlatformData, "platform data"},
    {fd::RegionEc, "EC"},
}};

std::string NameOf(unsigned Index) {
  for (const RegionName &R : RegionNames) {
    if (R.Index == Index) {
      return R.Name;
    }
  }
  return "region " + std::to_string(Index);
}

size_t SectionBase(uint32_t Field) { return size_t{Field & fd::SectionBaseMask} * fd::SectionBaseScale; }

// Every fault goes through here: Strict refuses at the first, Tolerant notes each on its item.
struct FaultSink {
  ParseMode Mode;
  void operator()(std::vector<std::string> &On, const std::string &Reason) const {
    if (Mode == ParseMode::Strict) {
      throw Error(Reason);
    }
    On.push_back(Reason);
  }
};

std::string RangeText(const FlashRegion &R) {
  return R.Name + " region " + Hex(R.Offset) + "-" + Hex(R.Offset + R.Size - 1);
}

// The number of chips and their total size, from FLMAP0 and FLCOMP; leaves
// FlashSize 0 after a fault.
void ReadComponents(ByteView Data, uint32_t Map0, FlashLayout &Layout, const FaultSink &Fault) {
  const size_t Base = SectionBase(Map0);
  // FLMAP0's 8-bit field cannot place it past the descriptor, only over its signature.
  if (Base < fd::SignatureOffset + sizeof(uint32_t)) {
    Fault(Layout.Faults, "flash descriptor: component section at " + Hex(Base) + " is not inside the descriptor");
    return;
  }
  const unsigned Count = ((Map0 >> fd::ComponentCountShift) & fd::ComponentCountMask) + 1;
  if (Count > fd::MaxComponents) {
    Fault(Layout.Faults, "flash descriptor: FLMAP0 gives " + std::to_string(Count) + " flash components, more than " +
                             std::to_string(fd::MaxComponents));
    return;
  }
  const uint32_t Flcomp = ReadU32(Data, Base);
  const unsigned Width = ((Flcomp >> fd::ReadClockShift) & fd::ReadClockMask) == fd::ReadClock20MHz
                             ? fd::NarrowDensityBits
                             : fd::WideDensityBits;
  size_t Total = 0;
  for (unsigned I = 0; I < Count; ++I) {
    const uint32_t Code = (Flcomp >> (I * Width)) & ((1U << Width) - 1);
    if (Code > fd::LargestDensityCode) {
      Fault(Layout.Faults, "flash descriptor: component " + std::to_string(I + 1) + " density code " + Hex(Code) +
                               " (FLCOMP " + Hex(Flcomp) + ") is no flash size");
      return;
    }
    Total += fd::SmallestDensity << Code;
  }
  Layout.Components = Count;
  Layout.FlashSize = Total;
}

// The region table's used entries, as they stand.
bool ReadRegionTable(ByteView Data, uint32_t Map0, FlashLayout &Layout, const FaultSink &Fault) {
  const size_t ComponentBase = SectionBase(Map0);
  const size_t RegionBase = SectionBase(Map0 >> fd::RegionBaseShift);
  const size_t MasterBase = SectionBase(ReadU32(Data, fd::FlashMap1Offset));
  // The region section runs up to the next section (older chipsets have
  // fewer regions, and the master section follows right after them).
  size_t RegionEnd = std::min(fd::DescriptorSize, RegionBase + fd::MaxRegions * fd::RegionEntrySize);
  for (const size_t Next : {ComponentBase, MasterBase}) {
    if (Next > RegionBase) {
      RegionEnd = std::min(RegionEnd, Next);
    }
  }
  if (RegionBase < fd::SignatureOffset + sizeof(uint32_t) || RegionEnd < RegionBase + fd::RegionEntrySize) {
    Fault(Layout.Faults, "flash descriptor: region section at " + Hex(RegionBase) + " is not inside the descriptor");
    return false;
  }
  const size_t Count = (RegionEnd - RegionBase) / fd::RegionEntrySize;
  for (unsigned Index = 0; Index < Count; ++Index) {
    const uint32_t Entry = ReadU32(Data, RegionBase + Index * fd::RegionEntrySize);
    const uint32_t Base = Entry & fd::RegionFieldMask;
    const uint32_t Limit = (Entry >> fd::RegionLimitShift) & fd::RegionFieldMask;
    if (Base == fd::RegionUnused || Limit < Base) {
      continue;
    }
    FlashRegion R;
    R.Index = Index;
    R.Name = NameOf(Index);
    R.Offset = static_cast<size_t>(Base) << fd::RegionUnitShift;
    R.Size = (static_cast<size_t>(Limit - Base) + 1) << fd::RegionUnitShift;
    Layout.Regions.push_back(std::move(R));
  }
  return true;
}

bool SpansWholeFlash(const FlashLayout &Layout, const FlashRegion &R) {
  return Layout.FlashSize != 0 && R.Index == fd::RegionBios && R.Offset == 0 && R.Size == Layout.FlashSize;
}

// A BIOS region over the whole flash overlaps every other region; flash
// tools read it as what the others leave at its top: from the end of the
// last region inside it to its limit. Where they leave nothing it is a fault,
// which stands for the overlaps.
void ReadWholeFlashBios(FlashLayout &Layout, const FaultSink &Fault) {
  auto Bios = std::find_if(Layout.Regions.begin(), Layout.Regions.end(),
                           [&](const FlashRegion &R) { return SpansWholeFlash(Layout, R); });
  if (Bios == Layout.Regions.end()) {
    return;
  }
  const FlashRegion *Last = nullptr;
  for (const FlashRegion &R : Layout.Regions) {
    const size_t End = R.Offset + R.Size;
    if (&R != &*Bios && End <= Layout.FlashSize && (Last == nullptr || End > Last->Offset + Last->Size)) {
      Last = &R;
    }
  }
  if (Last == nullptr) {
    return;
  }
  const size_t Start = Last->Offset + Last->Size;
  if (Start == Layout.FlashSize) {
    Fault(Bios->Faults, RangeText(*Bios) + " spans the whole flash, and the " + Last->Name +
                            " region leaves none of it at the top");
    return;
  }
  Bios->Note = "the descriptor gives " + Hex(0) + "-" + Hex(Layout.FlashSize - 1) +
               ", the whole flash: read from the end of the " + Last->Name + " region";
  Bios->Offset = Start;
  Bios->Size = Layout.FlashSize - Start;
}

void CheckRegions(FlashLayout &Layout, size_t ImageSize, const FaultSink &Fault) {
  for (auto R = Layout.Regions.begin(); R != Layout.Regions.end(); ++R) {
    const size_t End = R->Offset + R->Size;
    if (Layout.FlashSize != 0 && End > Layout.FlashSize) {
      Fault(R->Faults, RangeText(*R) + " runs past the end of the flash (" + Hex(Layout.FlashSize) + " bytes)");
    } else if (End > ImageSize) {
      Fault(R->Faults, RangeText(*R) + " runs past the end of the image (" + Hex(ImageSize) + " bytes)");
    }
    // A whole-flash BIOS region still standing has its fault already.
    for (auto Earlier = Layout.Regions.begin(); Earlier != R && !SpansWholeFlash(Layout, *R); ++Earlier) {
      if (!SpansWholeFlash(Layout, *Earlier) && R->Offset < Earlier->Offset + Earlier->Size &&
          Earlier->Offset < End) {
        Fault(R->Faults, RangeText(*R) + " overlaps the " + Earlier->Name + " region");
      }
    }
  }
}

} // namespace

const FlashRegion *FlashLayout::Bios() const {
  for (const FlashRegion &R : Regions) {
    if (R.Index == fd::RegionBios) {
      return &R;
    }
  }
  return nullptr;
}

std::optional<FlashLayout> ReadFlashDescriptor(ByteView Data, ParseMode Mode) {
  if (Data.size() < fd::SignatureOffset + sizeof(uint32_t) || ReadU32(Data, fd::SignatureOffset) != fd::Signature) {
    return std::nullopt;
  }
  const FaultSink Fault{Mode};
  FlashLayout Layout;
  if (Data.size() < fd::DescriptorSize) {
    Fault(Layout.Faults, "flash descriptor cut short: the image has " + Hex(Data.size()) + " bytes");
    return Layout;
  }
  const uint32_t Map0 = ReadU32(Data, fd::FlashMap0Offset);
  ReadComponents(Data, Map0, Layout, Fault);
  if (!ReadRegionTable(Data, Map0, Layout, Fault)) {
    return Layout;
  }
  ReadWholeFlashBios(Layout, Fault);
  CheckRegions(Layout, Data.size(), Fault);
  if (Layout.Bios() == nullptr) {
    Fault(Layout.Faults, "flash descriptor: no BIOS region");
  }
  return Layout;
}

VolumeArea FindVolumeArea(ByteView Data) {
  const auto Layout = ReadFlashDescriptor(Data, ParseMode::Strict);
  if (!Layout) {
    return {0, Data.size()};
  }
  const FlashRegion &Bios = *Layout->Bios();
  return {Bios.Offset, Bios.Size};
}

Image ParseVolumeArea(ByteView Data, const ParseLimits &Limits, const KnownStreams *Known) {
  const VolumeArea Area = FindVolumeArea(Data);
  return ParseVolumes(Data, Area.Offset, Area.Offset + Area.Size, ParseMode::Strict, Limits, Known);
}

} // namespace fwimage
