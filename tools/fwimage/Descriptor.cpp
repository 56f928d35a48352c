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
  FlashLayout Layout;
  auto Fault = [Mode](std::vector<std::string> &On, const std::string &Reason) {
    if (Mode == ParseMode::Strict) {
      throw Error(Reason);
    }
    On.push_back(Reason);
  };
  if (Data.size() < fd::DescriptorSize) {
    Fault(Layout.Faults, "flash descriptor cut short: the image has " + Hex(Data.size()) + " bytes");
    return Layout;
  }
  const uint32_t Map0 = ReadU32(Data, fd::FlashMap0Offset);
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
    return Layout;
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
    if (R.Offset > Data.size() || R.Size > Data.size() - R.Offset) {
      Fault(R.Faults, R.Name + " region " + Hex(R.Offset) + "-" + Hex(R.Offset + R.Size - 1) +
                          " runs past the end of the image (" + Hex(Data.size()) + " bytes)");
    }
    for (const FlashRegion &Earlier : Layout.Regions) {
      if (R.Offset < Earlier.Offset + Earlier.Size && Earlier.Offset < R.Offset + R.Size) {
        Fault(R.Faults, R.Name + " region " + Hex(R.Offset) + "-" + Hex(R.Offset + R.Size - 1) + " overlaps the " +
                            Earlier.Name + " region");
      }
    }
    Layout.Regions.push_back(std::move(R));
  }
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

Image ParseVolumeArea(ByteView Data, const ParseLimits &Limits) {
  const VolumeArea Area = FindVolumeArea(Data);
  return ParseVolumes(Data, Area.Offset, Area.Offset + Area.Size, ParseMode::Strict, Limits);
}

} // namespace fwimage
