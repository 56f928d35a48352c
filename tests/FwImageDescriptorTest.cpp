// Flash descriptors as boards write them: a real two-chip laptop descriptor,
// the BIOS region given as the whole flash, and the chip sizes the component
// section gives. The expected layouts are the ones UEFIExtract shows for the
// same descriptors (tests/real-images/README.md in the shared notes).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <tuple>
#include <utility>

#include "Descriptor.h"
#include "Edit.h"
#include "FileIo.h"
#include "FwImageTestImages.h"
#include "List.h"

using namespace fwimage;
using namespace fwtest;

namespace {

const std::filesystem::path RealImages = std::filesystem::path(__FILE__).parent_path() / "real-images";

// The real descriptor's layout: two chips (8 MiB + 4 MiB), descriptor
// 0x0-0xFFF, GbE 0x1000-0x2FFF, ME 0x3000-0x4FFFFF, BIOS 0x500000-0xBFFFFF.
constexpr size_t RealFlashSize = 0xC00000;
constexpr size_t RealBiosAt = 0x500000;
constexpr size_t BiosEntryAt = 0x44; // FLREG1

// The 12 MiB image kit-check boots: the real descriptor and GbE region, the
// ME region erased, a DXE volume at the start of the BIOS region. With
// WholeFlash, FLREG1 gives base 0 and the last byte of the flash as limit.
Bytes RealTwoChipImage(bool WholeFlash) {
  Bytes Img(RealFlashSize, 0xFF);
  const Bytes Descriptor = ReadFile((RealImages / "two-chip-descriptor.bin").string());
  const Bytes Gbe = ReadFile((RealImages / "two-chip-gbe.bin").string());
  CopyInto(Img, 0, Descriptor);
  CopyInto(Img, 0x1000, Gbe);
  CopyInto(Img, RealBiosAt, DxeVolume(0x4000));
  if (WholeFlash) {
    Put(Img, BiosEntryAt, 0x0BFF0000, 4);
  }
  return Img;
}

using RegionRow = std::tuple<unsigned, std::string, size_t, size_t>; // index, name, offset, size

std::vector<RegionRow> RegionsOf(const FlashLayout &Layout) {
  std::vector<RegionRow> Out;
  for (const FlashRegion &R : Layout.Regions) {
    Out.emplace_back(R.Index, R.Name, R.Offset, R.Size);
  }
  return Out;
}

// The descriptor's faults alone (the cases below hold no volume).
size_t FaultsOf(const FlashLayout &Layout) {
  size_t N = Layout.Faults.size();
  for (const FlashRegion &R : Layout.Regions) {
    N += R.Faults.size();
  }
  return N;
}

std::string ListingText(ByteView Img) {
  std::ostringstream Out;
  PrintListing(Out, ReadListing(Img));
  return Out.str();
}

std::string ListingJson(ByteView Img) {
  std::ostringstream Out;
  PrintListingJson(Out, ReadListing(Img));
  return Out.str();
}

// What every edit meets first: the strict read of the volume area.
std::string Refusal(ByteView Img) {
  try {
    FindVolumeArea(Img);
  } catch (const Error &E) {
    return E.what();
  }
  return "(accepted)";
}

const std::vector<RegionRow> RealRegions = {
    {0, "descriptor", 0x0, 0x1000}, {1, "BIOS", 0x500000, 0x700000}, {2, "ME", 0x3000, 0x4FD000}, {3, "GbE", 0x1000, 0x2000}};

TEST(FwImageFlash, RealTwoChipDescriptorGivesBothChipsAndItsRegions) {
  const Bytes Img = RealTwoChipImage(false);
  const auto Layout = ReadFlashDescriptor(Img, ParseMode::Tolerant);
  ASSERT_TRUE(Layout);
  EXPECT_EQ(Layout->Components, 2u);
  EXPECT_EQ(Layout->FlashSize, RealFlashSize);
  EXPECT_EQ(RegionsOf(*Layout), RealRegions);
  EXPECT_EQ(ReadListing(Img).FaultCount(), 0u);
  EXPECT_NE(ListingText(Img).find("flash descriptor  2 chips, flash size 0xC00000\n"), std::string::npos);
  EXPECT_NE(ListingJson(Img).find("\"descriptor\":true,\"flash\":{\"chips\":2,\"size\":12582912},"),
            std::string::npos);
}

TEST(FwImageFlash, WholeFlashBiosIsReadAfterTheMeRegionAndEditedOnlyThere) {
  Bytes Img = RealTwoChipImage(true);
  // A decoy volume inside the ME region, which the descriptor's BIOS range
  // covers: read as the descriptor gives it, the BIOS region would offer it first.
  const size_t DecoyAt = 0x10000;
  CopyInto(Img, DecoyAt, DxeVolume(0x4000));
  const auto Layout = ReadFlashDescriptor(Img, ParseMode::Strict);
  ASSERT_TRUE(Layout);
  EXPECT_EQ(RegionsOf(*Layout), RealRegions) << "the same regions UEFIExtract shows for both forms";
  const std::string Text = ListingText(Img);
  EXPECT_NE(Text.find("  region 1 BIOS  offset 0x500000  size 0x700000  (the descriptor gives 0x0-0xBFFFFF, the "
                      "whole flash: read from the end of the ME region)\n"),
            std::string::npos)
      << Text;
  EXPECT_EQ(Text.find("FAULT"), std::string::npos) << Text;
  EXPECT_NE(ListingJson(Img).find("\"offset\":5242880,\"size\":7340032,\"note\":\"the descriptor gives"),
            std::string::npos);
  EXPECT_NE(ListingJson(RealTwoChipImage(false)).find("\"size\":7340032,\"note\":null,"), std::string::npos);
  const Listing L = ReadListing(Img);
  ASSERT_EQ(L.Volumes.Volumes.size(), 1u);
  EXPECT_EQ(L.Volumes.Volumes[0].Offset, RealBiosAt);

  const Guid New = G("0D3C0B2A-2222-4A4A-8B8B-000000000001");
  const Bytes Out = InsertFiles(
      Img, {FfsFile(New, 0x07, MakeSections({MakeSection(0x13, {0x06, 0x08}), MakeSection(0x10, Pe32Plus(0x100, 1))}))},
      {});
  ASSERT_EQ(Out.size(), Img.size());
  EXPECT_TRUE(std::equal(Img.begin(), Img.begin() + RealBiosAt, Out.begin()))
      << "descriptor, GbE and the ME region with its decoy stay as they were";
  EXPECT_EQ(ParseVolumeArea(Out).Volumes.at(0).Files.back().Name, New);
}

// One flash of two 512 KiB chips, the BIOS region given as all of it.
constexpr size_t SmallFlash = 0x100000;

struct WholeFlashCase {
  const char *What;
  std::vector<RegionLayout> Others; // the descriptor region at 0 comes with every case
  size_t BiosOffset, BiosSize;      // as read; BiosSize 0: refused with Fault
  const char *Fault;
};

TEST(FwImageFlash, WholeFlashBiosStartsWhereTheLastRegionInsideItEnds) {
  const WholeFlashCase Cases[] = {
      {"ME below it", {{2, 0x1000, 0x3F000}}, 0x40000, 0xC0000, nullptr},
      {"ME ending one unit below the limit", {{2, 0x1000, 0xFE000}}, 0xFF000, 0x1000, nullptr},
      {"platform data above the ME region", {{2, 0x1000, 0x3F000}, {4, 0x80000, 0x10000}}, 0x90000, 0x70000, nullptr},
      {"ME ending at the limit",
       {{2, 0x1000, 0xFF000}},
       0,
       0,
       "BIOS region 0x0-0xFFFFF spans the whole flash, and the ME region leaves none of it at the top"},
  };
  for (const WholeFlashCase &C : Cases) {
    std::vector<RegionLayout> Regions = C.Others;
    Regions.push_back({0, 0, 0x1000});
    Regions.push_back({1, 0, SmallFlash});
    Bytes Img = MakeFlashImage(SmallFlash, Regions);
    SetFlashChips(Img, 2, 0);
    const auto Layout = ReadFlashDescriptor(Img, ParseMode::Tolerant);
    ASSERT_TRUE(Layout && Layout->Bios()) << C.What;
    if (C.Fault == nullptr) {
      EXPECT_EQ(std::make_pair(Layout->Bios()->Offset, Layout->Bios()->Size), std::make_pair(C.BiosOffset, C.BiosSize))
          << C.What;
      EXPECT_EQ(FaultsOf(*Layout), 0u) << C.What << ": " << ListingText(Img);
      EXPECT_EQ(Refusal(Img), "(accepted)") << C.What;
      continue;
    }
    EXPECT_EQ(Layout->Bios()->Faults, std::vector<std::string>{C.Fault}) << C.What;
    EXPECT_EQ(FaultsOf(*Layout), 1u) << C.What << ": the fault stands for the overlaps\n" << ListingText(Img);
    EXPECT_EQ(Refusal(Img), C.Fault) << C.What;
  }
}

TEST(FwImageFlash, OnlyTheExactWholeFlashIsReadSoOtherOverlapsStayFaults) {
  struct Case {
    const char *What;
    std::vector<RegionLayout> Regions;
    size_t ImageSize;
    const char *FirstFault;
    size_t Faults;
  };
  const Case Cases[] = {
      {"BIOS region alone over the whole flash", {{1, 0, SmallFlash}}, SmallFlash, nullptr, 0},
      {"one unit short of the flash",
       {{0, 0, 0x1000}, {1, 0, SmallFlash - 0x1000}, {2, 0x1000, 0x3F000}},
       SmallFlash,
       "BIOS region 0x0-0xFEFFF overlaps the descriptor region",
       2},
      {"one unit past the flash, inside the image",
       {{0, 0, 0x1000}, {1, 0, SmallFlash + 0x1000}, {2, 0x1000, 0x3F000}},
       SmallFlash + 0x1000,
       "BIOS region 0x0-0x100FFF runs past the end of the flash (0x100000 bytes)",
       3},
      {"ME region past the flash, inside the image",
       {{0, 0, 0x1000}, {1, 0x1000, 0x7F000}, {2, 0x80000, 0x81000}},
       SmallFlash + 0x1000,
       "ME region 0x80000-0x100FFF runs past the end of the flash (0x100000 bytes)",
       1},
      {"GbE region past a flash longer than the image",
       {{0, 0, 0x1000}, {1, 0x1000, 0x7F000}, {3, 0x80000, 0x1000}},
       0x80000,
       "GbE region 0x80000-0x80FFF runs past the end of the image (0x80000 bytes)",
       1},
  };
  for (const Case &C : Cases) {
    Bytes Img = MakeFlashImage(C.ImageSize, C.Regions);
    SetFlashChips(Img, 2, 0);
    const auto Layout = ReadFlashDescriptor(Img, ParseMode::Tolerant);
    ASSERT_TRUE(Layout && Layout->Bios()) << C.What;
    EXPECT_EQ(FaultsOf(*Layout), C.Faults) << C.What << "\n" << ListingText(Img);
    if (C.FirstFault == nullptr) {
      EXPECT_EQ(Layout->Bios()->Offset, 0u) << "read as the descriptor gives it: nothing else is inside";
      EXPECT_EQ(Layout->Bios()->Size, SmallFlash);
      EXPECT_EQ(Layout->Bios()->Note, "");
      EXPECT_EQ(Refusal(Img), "(accepted)");
      continue;
    }
    EXPECT_NE(ListingText(Img).find(std::string("  FAULT: ") + C.FirstFault), std::string::npos) << C.What;
    EXPECT_EQ(Refusal(Img), C.FirstFault) << C.What;
  }
}

TEST(FwImageFlash, ChipCountAndDensitiesGiveTheFlashSizeOrAFault) {
  struct Case {
    unsigned Chips;
    uint32_t Flcomp;
    size_t FlashSize; // 0: Fault
    const char *Fault;
  };
  const Case Cases[] = {
      {2, 0x4990001C, 0xC00000, nullptr},  // the real laptop's: 20 MHz, 3-bit codes 4 and 3
      {1, 0x4990001C, 0x800000, nullptr},  // the second code means nothing with one chip
      {2, 0x00000054, 0xA00000, nullptr},  // 20 MHz: 3-bit codes 4 and 2
      {2, 0x000C0054, 0x1800000, nullptr}, // 17 MHz, 100 series on: 4-bit codes 4 and 5
      {2, 0x0000003F, 0x8000000, nullptr}, // two of the largest, 64 MiB
      {1, 0x000C00F4, 0x800000, nullptr},
      {2, 0x000C00F4, 0, "flash descriptor: component 2 density code 0xF (FLCOMP 0xC00F4) is no flash size"},
      {1, 0x000C000C, 0, "flash descriptor: component 1 density code 0xC (FLCOMP 0xC000C) is no flash size"},
      {3, 0, 0, "flash descriptor: FLMAP0 gives 3 flash components, more than 2"},
  };
  for (const Case &C : Cases) {
    Bytes Img = MakeFlashImage(0x10000, {{0, 0, 0x1000}, {1, 0x1000, 0xF000}});
    SetFlashChips(Img, C.Chips, C.Flcomp);
    const auto Layout = ReadFlashDescriptor(Img, ParseMode::Tolerant);
    ASSERT_TRUE(Layout);
    const std::string What = std::to_string(C.Chips) + " chip(s), FLCOMP " + std::to_string(C.Flcomp);
    if (C.Fault == nullptr) {
      EXPECT_EQ(Layout->FlashSize, C.FlashSize) << What;
      EXPECT_EQ(Layout->Components, C.Chips) << What;
      EXPECT_EQ(FaultsOf(*Layout), 0u) << What;
      continue;
    }
    EXPECT_EQ(Layout->Faults, std::vector<std::string>{C.Fault}) << What;
    EXPECT_EQ(FaultsOf(*Layout), 1u) << What;
    EXPECT_EQ(Refusal(Img), C.Fault) << What;
    EXPECT_NE(ListingJson(Img).find("\"descriptor\":true,\"flash\":null,"), std::string::npos) << What;
  }
  Bytes Img = MakeFlashImage(0x10000, {{0, 0, 0x1000}, {1, 0x1000, 0xF000}});
  Put(Img, 0x14, 0x00040000, 4);
  EXPECT_EQ(Refusal(Img), "flash descriptor: component section at 0x0 is not inside the descriptor");
}

// An image of the descriptor alone still has its regions read (the BIOS
// region past its end is the fault); one byte less holds no descriptor.
TEST(FwImageFlash, AnImageOfTheDescriptorAloneIsRead) {
  const Bytes Img = MakeFlashImage(0x1000, {{0, 0, 0x1000}, {1, 0x1000, 0x1000}});
  const auto Layout = ReadFlashDescriptor(Img, ParseMode::Tolerant);
  ASSERT_TRUE(Layout);
  EXPECT_EQ(RegionsOf(*Layout), (std::vector<RegionRow>{{0, "descriptor", 0x0, 0x1000}, {1, "BIOS", 0x1000, 0x1000}}));
  EXPECT_EQ(Refusal(Img), "BIOS region 0x1000-0x1FFF runs past the end of the image (0x1000 bytes)");
  const Bytes Cut(Img.begin(), Img.end() - 1);
  EXPECT_EQ(Refusal(Cut), "flash descriptor cut short: the image has 0xFFF bytes");
}

TEST(FwImageFlash, RegionsPastPlatformDataAreListedByNumber) {
  // Sixteen region entries: the master section at 0x80.
  Bytes Img = MakeFlashImage(0x20000, {{0, 0, 0x1000}, {1, 0x10000, 0x10000}});
  Put(Img, 0x18, 0x08, 4);
  for (size_t At = 0x60; At < 0x80; At += 4) {
    Put(Img, At, 0x7FFF, 4);
  }
  Put(Img, 0x40 + 4 * 8, 0x00010001, 4);  // EC 0x1000-0x1FFF
  Put(Img, 0x40 + 4 * 11, 0x00030002, 4); // 0x2000-0x3FFF
  Put(Img, 0x40 + 4 * 15, 0x000F0004, 4); // 0x4000-0xFFFF
  const auto Layout = ReadFlashDescriptor(Img, ParseMode::Strict);
  ASSERT_TRUE(Layout);
  EXPECT_EQ(RegionsOf(*Layout), (std::vector<RegionRow>{{0, "descriptor", 0x0, 0x1000},
                                                       {1, "BIOS", 0x10000, 0x10000},
                                                       {8, "EC", 0x1000, 0x1000},
                                                       {11, "region 11", 0x2000, 0x2000},
                                                       {15, "region 15", 0x4000, 0xC000}}));
}

} // namespace
