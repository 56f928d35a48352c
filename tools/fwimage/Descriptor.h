// Full SPI flash images: an Intel flash descriptor at the start divides the
// part into regions (descriptor, BIOS, ME, GbE, platform data, ...). Volumes
// live only in the BIOS region; every other region belongs to other firmware
// and is never read as volumes nor changed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"

namespace fwimage {

namespace fd {
constexpr size_t SignatureOffset = 0x10;
constexpr uint32_t Signature = 0x0FF0A55A;
// FLMAP0: bits 7:0 the component-section base, bits 9:8 the number of flash
// components less one (two at most), bits 23:16 the region-section base;
// FLMAP1: bits 7:0 the master-section base. Each base is address bits 11:4.
constexpr size_t FlashMap0Offset = 0x14;
constexpr size_t FlashMap1Offset = 0x18;
constexpr unsigned ComponentCountShift = 8;
constexpr uint32_t ComponentCountMask = 0x3;
constexpr unsigned MaxComponents = 2;
constexpr unsigned RegionBaseShift = 16;
constexpr uint32_t SectionBaseMask = 0xFF;
constexpr unsigned SectionBaseScale = 0x10;
// FLCOMP, the component section's first UINT32: one density field per
// component, 3 bits wide (bits 2:0, 5:3) where the read clock (bits 19:17)
// is 20 MHz, as on chipsets before the 100 series, 4 bits wide (3:0, 7:4) on
// later ones. Code N means 512 KiB << N; codes past 64 MiB are reserved.
constexpr unsigned ReadClockShift = 17;
constexpr uint32_t ReadClockMask = 0x7;
constexpr uint32_t ReadClock20MHz = 0;
constexpr unsigned NarrowDensityBits = 3;
constexpr unsigned WideDensityBits = 4;
constexpr size_t SmallestDensity = size_t{512} << 10;
constexpr uint32_t LargestDensityCode = 7;
// One UINT32 a region: base in bits 14:0, limit in bits 30:16, both in 4 KiB
// units; the region covers [base << 12, (limit << 12) | 0xFFF].
constexpr size_t RegionEntrySize = 4;
constexpr unsigned RegionLimitShift = 16;
constexpr uint32_t RegionFieldMask = 0x7FFF;
constexpr unsigned RegionUnitShift = 12;
constexpr size_t RegionUnit = size_t{1} << RegionUnitShift;
// Base 0x7FFF marks an unused region, as does a limit below the base.
constexpr uint32_t RegionUnused = 0x7FFF;
constexpr size_t MaxRegions = 16;
constexpr size_t DescriptorSize = 0x1000;

constexpr unsigned RegionDescriptor = 0;
constexpr unsigned RegionBios = 1;
constexpr unsigned RegionMe = 2;
constexpr unsigned RegionGbe = 3;
constexpr unsigned RegionPlatformData = 4;
constexpr unsigned RegionEc = 8;
} // namespace fd

struct FlashRegion {
  unsigned Index = 0;
  std::string Name; // "descriptor", "BIOS", "ME", "GbE", "platform data", "EC", "region N"
  size_t Offset = 0;
  size_t Size = 0;
  std::string Note; // how the region was read, where not as its entry gives it
  std::vector<std::string> Faults;
};

struct FlashLayout {
  unsigned Components = 0;          // flash chips
  size_t FlashSize = 0;             // all chips together; 0 where a fault says why it is unknown
  std::vector<FlashRegion> Regions; // present regions, by index
  std::vector<std::string> Faults;  // what concerns the descriptor as a whole
  const FlashRegion *Bios() const;
};

// Nothing when Data does not start with a flash descriptor. A BIOS region
// that spans the whole flash (base 0, limit the last byte, as some board
// makers write it) is read as running from the end of the last other region
// to its limit. Strict: throws Error when the component section is out of
// range, a region runs past the flash or the image, two regions overlap
// otherwise or there is no BIOS region. Tolerant: notes those as faults.
std::optional<FlashLayout> ReadFlashDescriptor(ByteView Data, ParseMode Mode);

// Where volumes are looked for: the BIOS region of a descriptor image, or
// the whole image. Strict.
struct VolumeArea {
  size_t Offset = 0;
  size_t Size = 0;
};
VolumeArea FindVolumeArea(ByteView Data);

// The strict parse every editing command works on: the volumes of the volume
// area alone, offsets in the image, none reaching past the area. An edit that
// writes only inside these volumes leaves every other region as it was.
Image ParseVolumeArea(ByteView Data, const ParseLimits &Limits = {}, const KnownStreams *Known = nullptr);

} // namespace fwimage
