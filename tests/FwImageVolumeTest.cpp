// fwimage: reading images (every defect a one-line reason, bounded work) and
// inserting files into plain and LZMA-wrapped DXE volumes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <sstream>

#include "Codec.h"
#include "Descriptor.h"
#include "Edit.h"
#include "EfiCompress.h"
#include "Ffs.h"
#include "FirmwareVolume.h"
#include "FwImageTestImages.h"
#include "Layout.h"
#include "List.h"
#include "Lzma.h"
#include "Sites.h"
#include "Summary.h"

using namespace fwimage;
using namespace fwtest;

namespace {

#define EXPECT_REASON(Call, Text) EXPECT_NE(ReasonOf([&] { Call; }).find(Text), std::string::npos) << ReasonOf([&] { Call; })
#define EXPECT_HAS(Line, Text) EXPECT_NE((Line).find(Text), std::string::npos) << (Line)

// Offsets in MakeCompressedImage(): the FV-image file right after the outer
// volume's extended header, its GUID-defined section, the LZMA header.
constexpr size_t OuterFileAt = 0x60;
constexpr size_t LzmaSectionAt = OuterFileAt + 24;
constexpr size_t LzmaDataAt = LzmaSectionAt + 0x18;
constexpr size_t LzmaSizeFieldAt = LzmaDataAt + 5;

void ResealFile(Bytes &Image, size_t At) {
  // A size that runs past the image (a case below) is sealed over what is there.
  const size_t Size = std::min<size_t>(Image[At + 20] | (Image[At + 21] << 8) | (Image[At + 22] << 16),
                                       Image.size() - At);
  Image[At + 17] = static_cast<uint8_t>(0x100 - Sum8(Image.data() + At + 24, Size - 24));
  Image[At + 16] = 0;
  Image[At + 16] = static_cast<uint8_t>(0x100 - static_cast<uint8_t>(Sum8(Image.data() + At, 24) - Image[At + 17] -
                                                                      Image[At + 23]));
}

Bytes Driver(const Guid &Name, size_t PeSize, uint8_t Fill = 0x5A, uint16_t Machine = 0x8664) {
  FfsBuildInput In;
  In.Name = Name;
  In.Pe = Pe32Plus(PeSize, Fill, Machine);
  In.Depex = {0x06, 0x08};
  In.Ui = "Driver";
  In.Version = "1.0";
  return BuildFfsFile(In);
}

// An image of the machine as firmware builds it: PE32 for IA32, PE32+ otherwise.
Bytes ImageFor(uint16_t Machine, uint8_t Fill) {
  return Pe32Plus(0x100, Fill, Machine, Machine == 0x014C ? 0x10B : 0x20B);
}

// The test's own formatting of an expected value, as the listing writes numbers.
std::string HexText(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

const Guid NewA = G("0D3C0B2A-1111-4A4A-8B8B-000000000001");
const Guid NewB = G("0D3C0B2A-1111-4A4A-8B8B-000000000002");

const Volume &DecodedDxe(const Image &Img) {
  const Section &Lzma = Img.Volumes.at(0).Files.at(0).Sections.at(0);
  return Lzma.Children().at(3).Volumes().at(0);
}

TEST(FwImageParse, RefusesBrokenVolumesWithTheReason) {
  EXPECT_REASON(ParseImage(Bytes(0x1000, 0x5A)), "not a firmware image");
  const Bytes Good = MakeVolume({DxeName, 0x1000, {FfsFile(DxeCoreFile, 0x05, MakeSection(0x10, Pe32Plus(0x80, 1)))}});
  ASSERT_EQ(ParseImage(Good).Volumes.size(), 1u);

  EXPECT_REASON(ParseImage(Bytes(Good.begin(), Good.begin() + 0x800)), "truncated FV at 0x0");
  Bytes Bad = Good;
  Bad[44] ^= 0x01;
  EXPECT_REASON(ParseImage(Bad), "FV at 0x0: bad header checksum");

  // A second volume inside the first one's free space: the first one's length is wrong.
  Bad = Good;
  const Bytes Inner = MakeVolume({SecName, 0x400, {}});
  std::copy(Inner.begin(), Inner.end(), Bad.begin() + 0x800);
  EXPECT_REASON(ParseImage(Bad), "overlaps the FV at 0x800");
  Bad = Good;
  CopyInto(Bad, 0x1000 - 0x40, HeaderOnlyVolume()); // its header the first one's last 64 bytes
  EXPECT_REASON(ParseImage(Bad), "overlaps the FV at 0xFC0");

  Bad = Good;
  Bad[0x60] ^= 0x01;
  EXPECT_REASON(ParseImage(Bad), "bad header checksum");
  Bad = Good;
  Bad[0x60 + 0x40] ^= 0x01;
  EXPECT_REASON(ParseImage(Bad), "bad data checksum");
  Bad = Good;
  Put(Bad, 0x60 + 20, 0x1000, 3);
  ResealFile(Bad, 0x60);
  EXPECT_REASON(ParseImage(Bad), "runs past the end of its volume");
  Bad = Good;
  Bad[0x60 + 24 + 2] = 0x01; // the PE32 section now claims 64 KiB more
  ResealFile(Bad, 0x60);
  EXPECT_REASON(ParseImage(Bad), "runs past the end of its file");
  Bad = Good;
  Bad[0x60 + 23] = 0xFC; // header valid, data not: an interrupted write
  EXPECT_REASON(ParseImage(Bad), "not a complete file");
}

TEST(FwImageParse, LzmaStreamMustDecodeToItsStatedSizeWithinLimits) {
  const CompressedImage C = MakeCompressedImage();
  const uint64_t Stated = ReadU64(C.Image, LzmaSizeFieldAt);
  struct Case {
    uint64_t Size;
    const char *Reason;
  };
  const Case Cases[] = {
      {Stated + 1, "does not decode to its stated size"},
      {Stated - 1, "does not decode to its stated size"},
      {lzma::SizeUnknown, "states no uncompressed size"},
      {1ULL << 40, "above the 0x4000000-byte limit"},
  };
  for (const Case &K : Cases) {
    Bytes Bad = C.Image;
    Put(Bad, LzmaSizeFieldAt, K.Size, 8);
    ResealFile(Bad, OuterFileAt);
    EXPECT_REASON(ParseImage(Bad), K.Reason) << "stated " << K.Size;
  }
  ParseLimits Tight;
  Tight.MaxTotalDecoded = Stated - 1;
  EXPECT_REASON(ParseImage(C.Image, Tight), "limit");
}

TEST(FwImageParse, DeepNestingIsRefusedNotRecursedWithoutEnd) {
  std::vector<Bytes> Levels{MakeVolume({DxeName, 0x200, {}})};
  for (size_t Level = 1; Level <= 20; ++Level) {
    const Bytes File = FfsFile(FvImageFile, 0x0B, MakeSection(0x17, Levels.back()));
    Levels.push_back(MakeVolume({DxeName, 0x200 + 0x100 * Level, {File}}));
  }
  EXPECT_REASON(ParseImage(Levels.back()), "nest deeper than 16 levels");
  // Each volume and each file's section list is a level: Levels[1] is a
  // volume, its file's sections, the (empty) volume in them; Levels[2] two
  // more.
  ParseLimits Limits;
  for (const std::pair<size_t, unsigned> &Case : {std::pair<size_t, unsigned>{1, 3}, {2, 5}}) {
    const Bytes &Nested = Levels[Case.first];
    Limits.MaxDepth = Case.second;
    EXPECT_NO_THROW(ParseImage(Nested, Limits)) << Case.first;
    Limits.MaxDepth = Case.second - 1;
    EXPECT_REASON(ParseImage(Nested, Limits), "nest deeper than " + std::to_string(Case.second - 1) + " levels");
  }
}

// The rules for what a file holds, at their edges: which types hold sections,
// which State bits end a file, which characters a name keeps, where a
// version's text starts.
TEST(FwImageParse, FileRulesAtTheirEdges) {
  const Guid Name = G("ED6E0000-0000-4000-8000-000000000001");
  const Bytes Sections = MakeSections({MakeSection(0x10, Pe32Plus(0x80, 0x11)), MakeSection(0x15, Utf16("Core"))});
  // Types 0x02 to 0x0F hold sections (0x0F: a standalone MM core); RAW and
  // pad files do not.
  EXPECT_EQ(ParseStandaloneFile(FfsFile(Name, 0x0F, Sections)).UiName, "Core");
  EXPECT_EQ(ParseStandaloneFile(FfsFile(Name, 0x02, Sections)).UiName, "Core");
  EXPECT_TRUE(ParseStandaloneFile(FfsFile(Name, 0x01, Sections)).Sections.empty());
  EXPECT_TRUE(ParseStandaloneFile(FfsFile(Name, 0x10, Sections)).Sections.empty());

  // A file whose header was marked invalid is as gone as a deleted one.
  for (const uint8_t Bit : {0x10, 0x20}) {
    Bytes Gone = FfsFile(Name, 0x07, Sections);
    Gone[23] = static_cast<uint8_t>(Gone[23] & ~Bit);
    const Image Img = ParseImage(MakeVolume({DxeName, 0x400, {Gone}}));
    EXPECT_TRUE(Img.Volumes.at(0).Files.at(0).Deleted) << Hex(Bit);
  }

  // Names keep printable ASCII, space to '~'; anything else shows as '?'.
  const Bytes Odd = {' ', 0, '~', 0, 0x7F, 0, 0x1F, 0, 'A', 1, 0, 0};
  EXPECT_EQ(ParseStandaloneFile(FfsFile(Name, 0x07, MakeSection(0x15, Odd))).UiName, " ~???");

  // A VERSION section: a UINT16 build number, then the text.
  Bytes Version = {0x34, 0x12};
  Append(Version, Utf16("1.0"));
  const File WithVersion = ParseStandaloneFile(FfsFile(Name, 0x07, MakeSection(0x14, Version)));
  EXPECT_EQ(WithVersion.Sections.at(0).Text(), "1.0");
}

// Each header a reader meets may end exactly where its container does: it is
// read. One byte less and it is cut short.
TEST(FwImageParse, HeadersThatExactlyFillWhatIsLeftAreRead) {
  const Guid Filler = G("F111E500-0000-4000-8000-000000000001");
  const Guid Last = G("F111E500-0000-4000-8000-000000000002");
  // A 0x200-byte volume, files from 0x60: a RAW filler, then Last up to the end.
  const auto EndsWith = [&](const Bytes &Tail) {
    return MakeVolume({DxeName, 0x200, {FfsFile(Filler, 0x01, Bytes(0x200 - 0x60 - 24 - Tail.size())), Tail}});
  };
  const Bytes Header = FfsFile(Last, 0x01, {});
  const Bytes LargeHeader = FfsFile(Last, 0x01, {}, true);
  for (const Bytes &Tail : {Header, LargeHeader}) {
    SCOPED_TRACE(Tail.size());
    const Image Img = ParseImage(EndsWith(Tail));
    const Volume &V = Img.Volumes.at(0);
    ASSERT_EQ(V.Files.size(), 2u);
    EXPECT_EQ(V.Files[1].Name, Last);
    EXPECT_EQ(V.Files[1].Size, Tail.size());
    EXPECT_EQ(V.FreeSize(), 0u);
    EXPECT_EQ(ParseStandaloneFile(Tail).Size, Tail.size());
  }
  EXPECT_REASON(ParseImage(EndsWith(Bytes(LargeHeader.begin(), LargeHeader.begin() + 24))), "header cut short");
  EXPECT_REASON(ParseStandaloneFile(Bytes(Header.begin(), Header.end() - 1)), "shorter than a file header");

  // Sections that are their headers alone, each last in its file: a RAW
  // section, one with the extended size field, a COMPRESSION section holding
  // nothing, a GUID-defined one whose data starts at its end.
  Bytes Extended = {0xFF, 0xFF, 0xFF, 0x19, 8, 0, 0, 0};
  Bytes Empty = MakeSection(0x01, {0, 0, 0, 0, 0});
  Bytes GuidFields(20, 0);
  Put(GuidFields, 16, 0x18, 2);
  for (const Bytes &Tail : {MakeSection(0x19, {}), Extended, Empty, MakeSection(0x02, GuidFields)}) {
    SCOPED_TRACE(Hex(Tail[3]) + " of " + Hex(Tail.size()) + " bytes");
    const Bytes Sections = MakeSections({MakeSection(0x10, Pe32Plus(0x80, 0x11)), Tail});
    const File Driver = ParseStandaloneFile(FfsFile(Last, 0x07, Sections));
    ASSERT_EQ(Driver.Sections.size(), 2u);
    EXPECT_EQ(Driver.Sections[1].Size, Tail.size());
    EXPECT_TRUE(Driver.Sections[1].Children().empty());
  }
  Extended.pop_back();
  EXPECT_REASON(ParseStandaloneFile(FfsFile(Last, 0x07, Extended)), "header cut short");
  Empty.pop_back();
  Put(Empty, 0, Empty.size(), 3);
  EXPECT_REASON(ParseStandaloneFile(FfsFile(Last, 0x07, Empty)), "compression header cut short");

  // An extended header that ends where its volume does.
  Bytes Named(0x48 + 0x14);
  VolumeHeader(Named, 0x48, true, 0x48);
  Put(Named, 56, 1, 4);
  Put(Named, 60, Named.size(), 4);
  SealVolumeHeader(Named, 0x48);
  CopyInto(Named, 0x48, Bytes(OuterName.Bytes.begin(), OuterName.Bytes.end()));
  Put(Named, 0x48 + 16, 0x14, 4);
  EXPECT_EQ(ParseImage(Named).Volumes.at(0).Name, OuterName);

  // The smallest volume, last in the image and as an FV_IMAGE section's body.
  const Bytes Smallest = HeaderOnlyVolume();
  Bytes Two = MakeVolume({DxeName, 0x200, {}});
  Append(Two, Smallest);
  const Image Both = ParseImage(Two);
  ASSERT_EQ(Both.Volumes.size(), 2u);
  EXPECT_EQ(Both.Volumes[1].Offset, 0x200u);
  EXPECT_EQ(Both.Volumes[1].Length, Smallest.size());
  Two.pop_back();
  EXPECT_EQ(ParseImage(Two).Volumes.size(), 1u) << "63 bytes hold no volume header";

  // "_FVH" in a gap, off the 8-byte grid (even with usable lengths) and on it
  // without a usable length (code that looks for volumes): the volume after
  // it is still found, and only that one.
  Bytes Gap(0x80, 0xFF);
  CopyInto(Gap, 0x05 + 40, Bytes{'_', 'F', 'V', 'H'});
  Put(Gap, 0x05 + 32, 0x40, 8);
  Put(Gap, 0x05 + 48, 0x40, 2);
  CopyInto(Gap, 0x20 + 40, Bytes{'_', 'F', 'V', 'H'});
  Append(Gap, Smallest);
  const Image AfterGap = ParseVolumes(Gap, 0, Gap.size(), ParseMode::Tolerant, {});
  ASSERT_EQ(AfterGap.Volumes.size(), 1u);
  EXPECT_EQ(AfterGap.Volumes[0].Offset, 0x80u);
  EXPECT_EQ(AfterGap.Stray.size(), 1u);
  const auto Holding = [&](const Bytes &Body) {
    return MakeVolume({DxeName, 0x200, {FfsFile(FvImageFile, 0x0B, MakeSection(0x17, Body))}});
  };
  const Image Nested = ParseImage(Holding(Smallest));
  EXPECT_EQ(Nested.Volumes.at(0).Files.at(0).Sections.at(0).Volumes().at(0).Length, Smallest.size());
  EXPECT_REASON(ParseImage(Holding(Bytes(Smallest.begin(), Smallest.end() - 1))), "truncated header");
}

TEST(FwImageList, ShowsVolumesFilesAndDecodedSections) {
  const CompressedImage C = MakeCompressedImage();
  std::ostringstream Out;
  PrintImage(Out, ParseImage(C.Image));
  const Image Parsed = ParseImage(C.Image);
  const File &Outer = Parsed.Volumes[0].Files[0];
  // Only the compressed sizes depend on the encoder; everything else is layout.
  EXPECT_EQ(Out.str(),
            "FV 48DB5E17-707C-472D-91CD-1613E7EF51B0  offset 0x0  size 0x2000  free " +
                Hex(0x2000 - AlignUp(0x60 + Outer.Size, 8)) + "\n" +
                "  file 9E21FD93-9C72-4C15-8C4B-E77F1DB2D792  FIRMWARE_VOLUME_IMAGE  size " + Hex(Outer.Size) +
                "  sections: GUID_DEFINED\n" +
                "    GUID_DEFINED EE4E5898-3914-4259-9D6E-DC7BD79403CF (LZMA)  size " + Hex(Outer.Size - 24) +
                "  decoded 0x2490\n" +
                "      RAW  size 0x7C\n"
                "      FV 6938079B-B503-4E3D-9D24-B28337A25806  offset 0x80  size 0x400  free 0x280\n"
                "        file 52C05B14-0B98-496C-BC3B-04B50211D680  PEI_CORE  size 0x11C  sections: PE32\n"
                "      RAW  size 0xC\n"
                "      FV 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1  offset 0x490  size 0x2000  free 0x1A30\n"
                "        file D6A2CB7F-6A18-4E2F-B43B-9920A733700A  DXE_CORE  size 0x330  \"DxeCore\"  "
                "sections: PE32 UI\n"
                "        file 1A1E4886-9517-440E-9FDE-3BE44CEE2136  DRIVER  size 0x23A  \"CpuDxe\"  "
                "sections: DXE_DEPEX PE32 UI\n"
                "FV 763BED0D-DE9F-48F5-81F1-3E90E1B1A015  offset 0x2000  size 0x400  free 0x300\n"
                "  file DF1CCEF6-F301-4A63-9661-FC6030DCC880  SECURITY_CORE  size 0x9C  sections: PE32\n");
}

TEST(FwImageInsert, PlainVolumeGetsFilesAlignedInItsFreeSpaceOnly) {
  Bytes Img = DxeVolume(0x2000);
  const Bytes Sec = MakeVolume({SecName, 0x400, {}});
  Append(Img, Sec);
  const Image Before = ParseImage(Img);
  const size_t FreeAt = Before.Volumes[0].FreeOffset;
  const Bytes A = Driver(NewA, 0x123);
  const Bytes B = Driver(NewB, 0x99);
  EditSummary Sum;
  const Bytes Out = InsertFiles(Img, {A, B}, {}, &Sum);

  ASSERT_EQ(Out.size(), Img.size());
  EXPECT_TRUE(std::equal(Img.begin(), Img.begin() + static_cast<long>(FreeAt), Out.begin()));
  EXPECT_TRUE(std::equal(Img.end() - 0x400, Img.end(), Out.end() - 0x400));
  const Image After = ParseImage(Out);
  const auto &Files = After.Volumes[0].Files;
  ASSERT_EQ(Files.size(), 4u);
  EXPECT_EQ(Files[2].Name, NewA);
  EXPECT_EQ(Files[3].Name, NewB);
  EXPECT_EQ(Files[2].Offset, FreeAt);
  EXPECT_EQ(Files[3].Offset % 8, 0u);
  EXPECT_EQ(Files[3].Offset, AlignUp(FreeAt + A.size(), 8));
  EXPECT_TRUE(std::equal(B.begin(), B.end(), Out.begin() + static_cast<long>(Files[3].Offset)));
  EXPECT_EQ(Sum.Recompressed, 0u);
  EXPECT_EQ(Sum.Target().FreeAfter, After.Volumes[0].FreeSize());
}

TEST(FwImageInsert, LzmaWrappedVolumeIsRewrittenWithEverythingElseInPlace) {
  const CompressedImage C = MakeCompressedImage();
  const Image Before = ParseImage(C.Image);
  const Bytes &OldStream = *Before.Volumes[0].Files[0].Sections[0].Decoded();
  const Volume &OldDxe = DecodedDxe(Before);
  const size_t FreeAt = OldDxe.Offset + OldDxe.FreeOffset;
  const Bytes A = Driver(NewA, 0x180);

  EditSummary Sum;
  const Bytes Out = InsertFiles(C.Image, {A}, {}, &Sum);
  ASSERT_EQ(Out.size(), C.Image.size());
  EXPECT_TRUE(std::equal(C.Image.begin() + static_cast<long>(C.OuterLength), C.Image.end(),
                         Out.begin() + static_cast<long>(C.OuterLength)))
      << "the volume after the rewritten one must not move or change";
  EXPECT_EQ(Sum.Recompressed, 1u);

  const Image After = ParseImage(Out);
  const Bytes &NewStream = *After.Volumes[0].Files[0].Sections[0].Decoded();
  ASSERT_EQ(NewStream.size(), OldStream.size());
  EXPECT_TRUE(std::equal(OldStream.begin(), OldStream.begin() + static_cast<long>(FreeAt), NewStream.begin()));
  EXPECT_TRUE(std::equal(A.begin(), A.end(), NewStream.begin() + static_cast<long>(FreeAt)));
  EXPECT_TRUE(std::all_of(NewStream.begin() + static_cast<long>(FreeAt + A.size()),
                          NewStream.begin() + static_cast<long>(OldDxe.Offset + OldDxe.Length),
                          [](uint8_t Byte) { return Byte == 0xFF; }));
  EXPECT_EQ(DecodedDxe(After).Files.back().Name, NewA);
  // SEC hangs on a header that says "size unknown"; the decoder was sized for
  // the original lc/lp/pb and dictionary.
  EXPECT_EQ(ReadU64(Out, LzmaSizeFieldAt), OldStream.size());
  EXPECT_EQ(Out[LzmaDataAt], C.Image[LzmaDataAt]);
  EXPECT_LE(ReadU32(Out, LzmaDataAt + 1), ReadU32(C.Image, LzmaDataAt + 1));
  // The outer volume's free space is whatever the new compressed file leaves, erased.
  EXPECT_TRUE(After.Volumes[0].FreeSpaceErased);
  EXPECT_EQ(Sum.Outer().FreeAfter, After.Volumes[0].FreeSize());
}

TEST(FwImageInsert, DataAlignmentIsKeptWithAPadFileBeforeTheFile) {
  Bytes Aligned = FfsFile(NewA, 0x07, MakeSection(0x10, Pe32Plus(0x100, 1)));
  Aligned[19] |= 0x28; // data aligned to 4 KiB, as AArch64 PEIMs ask
  ResealFile(Aligned, 0);
  const Bytes Img = DxeVolume(0x4000);
  const size_t FreeAt = ParseImage(Img).Volumes[0].FreeOffset;
  const Image After = ParseImage(InsertFiles(Img, {Aligned}, {}));
  const auto &Files = After.Volumes[0].Files;
  ASSERT_EQ(Files.size(), 4u);
  EXPECT_EQ((Files[3].Offset + 24) % 0x1000, 0u);
  EXPECT_EQ(Files[2].Type, 0xF0);
  EXPECT_EQ(Files[2].Offset, FreeAt);
  EXPECT_EQ(Files[2].Offset + Files[2].Size, Files[3].Offset);
}

TEST(FwImageInsert, VolumeInsideAPlainFvImageFileKeepsThatFileValid) {
  // The FV-image file's data checksum covers the inner volume's free space.
  const Bytes Inner = DxeVolume(0x800);
  const Bytes Img = MakeVolume({OuterName, 0x1000, {FfsFile(FvImageFile, 0x0B, MakeSection(0x17, Inner))}});
  const Image After = ParseImage(InsertFiles(Img, {Driver(NewA, 0x80)}, {}));
  EXPECT_EQ(After.Volumes[0].Files[0].Sections[0].Volumes()[0].Files.back().Name, NewA);
}

TEST(FwImageInsert, NamedVolumeAndErasePolarityZero) {
  const CompressedImage C = MakeCompressedImage();
  EditOptions ToPei;
  ToPei.Volume = PeiName;
  const Image After = ParseImage(InsertFiles(C.Image, {Driver(NewA, 0x80)}, ToPei));
  const Section &Lzma = After.Volumes[0].Files[0].Sections[0];
  EXPECT_EQ(Lzma.Children()[1].Volumes()[0].Files.back().Name, NewA);

  const Bytes Low = MakeVolume({DxeName, 0x1000, {FfsFile(DxeCoreFile, 0x05, MakeSection(0x10, Pe32Plus(0x80, 1)))}, false});
  const Bytes Out = InsertFiles(Low, {Driver(NewA, 0x80)}, {});
  const Image Parsed = ParseImage(Out);
  ASSERT_EQ(Parsed.Volumes[0].Files.size(), 2u);
  EXPECT_EQ(Out[Parsed.Volumes[0].Files[1].Offset + 23], 0x07);
}

TEST(FwImageInsert, RefusesWhatWouldBreakTheImage) {
  const CompressedImage C = MakeCompressedImage();
  const Bytes A = Driver(NewA, 0x100);
  EXPECT_REASON(InsertFiles(C.Image, {Driver(SomeDriverFile, 0x100)}, {}), "duplicate file GUID 1A1E4886");
  EXPECT_REASON(InsertFiles(C.Image, {A, A}, {}), "duplicate file GUID 0D3C0B2A");
  EXPECT_REASON(InsertFiles(C.Image, {Driver(NewA, 0x2000)}, {}), "no room in FV 7CB8BDC9");
  EXPECT_REASON(InsertFiles(C.Image, {Bytes(0x40, 0x12)}, {}), "not an FFS file");
  EditOptions Missing;
  Missing.Volume = NewB;
  EXPECT_REASON(InsertFiles(C.Image, {A}, Missing), "no FV named 0D3C0B2A");
  EXPECT_REASON(InsertFiles(MakeVolume({SecName, 0x400, {}}), {A}, {}), "no FV holds a DXE core");

  // An incompressible image grows the compressed file past its volume.
  Bytes Noise(0x1400);
  std::mt19937 Rng(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
  for (uint8_t &Byte : Noise) {
    Byte = static_cast<uint8_t>(Rng());
  }
  Bytes NoisyPe = Pe32Plus(0x80, 0);
  Append(NoisyPe, Noise);
  FfsBuildInput In;
  In.Name = NewB;
  In.Pe = NoisyPe;
  In.Depex = {0x06, 0x08};
  In.Ui = "Noise";
  In.Version = "1";
  EXPECT_REASON(InsertFiles(MakeCompressedImage(0x1000).Image, {BuildFfsFile(In)}, {}),
                "no room in FV 48DB5E17-707C-472D-91CD-1613E7EF51B0 after recompression");

  // A compression GUID this tool does not know hides the DXE volume.
  Bytes Unknown = C.Image;
  Unknown[LzmaSectionAt + 4] ^= 0x01;
  ResealFile(Unknown, OuterFileAt);
  EXPECT_REASON(InsertFiles(Unknown, {A}, {}), "unknown compression GUID EE4E5899");
}

// XipImage(): the outer volume's files, the LZMA section, the inner volume.
const Section &XipLzma(const Image &Img) { return Img.Volumes.at(0).Files.at(2).Sections.at(0); }
const Volume &XipDxe(const Image &Img) { return XipLzma(Img).Children().at(1).Volumes().at(0); }

ByteView Slice(ByteView Data, size_t Offset, size_t Size) { return Data.subspan(Offset, Size); }
bool Same(ByteView A, ByteView B) { return std::equal(A.begin(), A.end(), B.begin(), B.end()); }

// A pad file as the PI layout has it: all-ones name, type 0xF0, its size.
void ExpectPad(ByteView Buf, size_t At, size_t Size) {
  EXPECT_TRUE(std::all_of(Buf.begin() + static_cast<long>(At), Buf.begin() + static_cast<long>(At + 16),
                          [](uint8_t B) { return B == 0xFF; }));
  EXPECT_EQ(Buf[At + 18], 0xF0);
  EXPECT_EQ(ReadU24(Buf, At + 20), Size);
}

TEST(FwImageGrow, TightCompressedVolumeGrowsByBlocksIntoItsContainer) {
  const Bytes Img = XipImage();
  const Image Before = ParseImage(Img);
  const Volume &OldDxe = XipDxe(Before);
  const Bytes A = Driver(NewA, 0x180, 0x5A, 0xAA64);
  EditSummary Sum;
  const Bytes Out = InsertFiles(Img, {A}, {}, &Sum);
  ASSERT_EQ(Out.size(), Img.size());
  // SEC and the PEIM run from flash: same bytes, same place.
  const auto &OldFiles = Before.Volumes[0].Files;
  for (size_t I = 0; I < 2; ++I) {
    EXPECT_TRUE(Same(Slice(Img, OldFiles[I].Offset, OldFiles[I].Size), Slice(Out, OldFiles[I].Offset, OldFiles[I].Size)));
  }
  const Image After = ParseImage(Out);
  const Volume &Dxe = XipDxe(After);
  const Bytes &Stream = *XipLzma(After).Decoded();
  // Grown by whole 0x10-byte blocks (MakeVolume's block map) to hold the
  // file, with no free space or at least a file header's worth.
  const size_t FilesEnd = AlignUp(OldDxe.FreeOffset + A.size(), 8);
  size_t Want = AlignUp(FilesEnd, 0x10);
  if (Want != FilesEnd && Want - FilesEnd < 24) {
    Want = AlignUp(FilesEnd + 24, 0x10);
  }
  EXPECT_TRUE(Dxe.FreeSize() == 0 || Dxe.FreeSize() >= 24);
  EXPECT_EQ(Dxe.Length, Want);
  EXPECT_EQ(Sum.Target().GrownBy, Want - OldDxe.Length);
  EXPECT_EQ(ReadU64(Stream, Dxe.Offset + 32), Want);
  EXPECT_EQ(static_cast<size_t>(ReadU32(Stream, Dxe.Offset + 56)) * ReadU32(Stream, Dxe.Offset + 60), Want);
  EXPECT_EQ(ReadU24(Stream, Dxe.Offset - 4), Want + 4) << "the FV-image section holds the grown volume";
  EXPECT_EQ(Stream.size(), XipLzma(Before).Decoded()->size() + Want - OldDxe.Length);
  EXPECT_TRUE(Same(Slice(Stream, Dxe.Offset + OldDxe.FreeOffset, A.size()), A));
  // Every old file in the stream keeps its bytes and place.
  const Bytes &OldStream = *XipLzma(Before).Decoded();
  for (const File &F : OldDxe.Files) {
    EXPECT_TRUE(Same(Slice(OldStream, F.Offset, F.Size), Slice(Stream, F.Offset, F.Size)));
  }
  EXPECT_LT(Sum.Outer().FreeAfter, Sum.Outer().FreeBefore);
  EXPECT_EQ(Sum.Outer().FreeAfter, After.Volumes[0].FreeSize());
}

TEST(FwImageGrow, RefusedWhereTheStreamHoldsOtherVolumesOrTheContainerIsFull) {
  // OVMF's shape: SEC decodes the PEI and DXE volumes to fixed places with
  // fixed sizes, so the DXE volume never grows.
  EXPECT_REASON(InsertFiles(MakeCompressedImage(0x4000, 0x800).Image, {Driver(NewA, 0x600)}, {}),
                "no room in FV 7CB8BDC9");
  // The container short by what the grown file needs past its end (noise:
  // the new file costs the container about its own size).
  std::mt19937 Rng(11); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
  FfsBuildInput In;
  In.Name = NewA;
  In.Pe = Pe32Plus(0x600, 0, 0xAA64);
  std::generate(In.Pe.begin() + 0x80, In.Pe.end(), [&] { return static_cast<uint8_t>(Rng()); });
  In.Depex = {0x06, 0x08};
  In.Ui = "Noise";
  In.Version = "1";
  const Bytes A = BuildFfsFile(In);
  const Bytes Roomy = InsertFiles(XipImage(0x3000), {A}, {});
  const Image RoomyImage = ParseImage(Roomy);
  const File &Grown = RoomyImage.Volumes[0].Files[2];
  const size_t Short = 0x40;
  const size_t Length = AlignUp(Grown.Offset + Grown.Size, 0x10) - Short;
  EXPECT_REASON(InsertFiles(XipImage(Length), {A}, {}),
                "no room in FV 48DB5E17-707C-472D-91CD-1613E7EF51B0 after recompression: " +
                    std::to_string(Grown.Offset + Grown.Size - Length) + " bytes missing");
}

TEST(FwImageReplace, InPlaceWhenItFitsElsewhereMovedNeverAnXipFile) {
  const Bytes Img = XipImage();
  const Image Before = ParseImage(Img);
  const File &Peim = Before.Volumes[0].Files[1];
  auto PeimOf = [](size_t TeSize) {
    return FfsFile(XipPeimFile, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}),
                                                    MakeSection(0x12, TeImage(TeSize, 0x77, 0xAA64))}));
  };
  // Same size: in place, the rest of the image as it was.
  const Bytes Same1 = PeimOf(0x150);
  const Bytes Out = ReplaceFiles(Img, {Same1}, {});
  EXPECT_TRUE(Same(Slice(Out, Peim.Offset, Same1.size()), Same1));
  EXPECT_TRUE(Same(Slice(Out, 0, Peim.Offset), Slice(Img, 0, Peim.Offset)));
  EXPECT_TRUE(Same(Slice(Out, Peim.Offset + Peim.Size, Img.size() - Peim.Offset - Peim.Size),
                   Slice(Img, Peim.Offset + Peim.Size, Img.size() - Peim.Offset - Peim.Size)));
  // 0x40 smaller: in place, a pad file in the rest of its slot.
  const size_t Slot = Before.Volumes[0].Files[2].Offset - Peim.Offset;
  const Bytes Smaller = PeimOf(0x150 - 0x40);
  const Bytes Padded = ReplaceFiles(Img, {Smaller}, {});
  EXPECT_TRUE(Same(Slice(Padded, Peim.Offset, Smaller.size()), Smaller));
  ExpectPad(Padded, Peim.Offset + AlignUp(Smaller.size(), 8), Slot - AlignUp(Smaller.size(), 8));
  // A PEIM that would have to move, or leave a gap no pad file fits.
  EXPECT_REASON(ReplaceFiles(Img, {PeimOf(0x150 + 0x40)}, {}), "executes in place at 0x");
  EXPECT_REASON(ReplaceFiles(Img, {PeimOf(0x150 - 8)}, {}), "too few for a pad file");

  // A DXE driver in the compressed volume that grows moves to the end; its
  // old slot becomes a pad file; the file after it stays where it was.
  const Volume &OldDxe = XipDxe(Before);
  const File &Old = OldDxe.Files[1];
  const Bytes Bigger = Driver(XipDriverFile, 0x400, 0x66, 0xAA64);
  const Image After = ParseImage(ReplaceFiles(Img, {Bigger}, {}));
  const Volume &Dxe = XipDxe(After);
  const Bytes &Stream = *XipLzma(After).Decoded();
  ASSERT_EQ(Dxe.Files.size(), 4u);
  ExpectPad(Stream, Old.Offset, OldDxe.Files[2].Offset - Old.Offset);
  EXPECT_EQ(Dxe.Files[2].Offset, OldDxe.Files[2].Offset);
  EXPECT_EQ(Dxe.Files[3].Name, XipDriverFile);
  EXPECT_TRUE(Same(Slice(Stream, Dxe.Files[3].Offset, Bigger.size()), Bigger));
}

TEST(FwImageReplace, RefusesAMissingFileATypeChangeAndAnotherMachine) {
  const CompressedImage C = MakeCompressedImage();
  EXPECT_REASON(ReplaceFiles(C.Image, {Driver(NewA, 0x100)}, {}), "no file 0D3C0B2A-1111-4A4A-8B8B-000000000001 in this image");
  FfsBuildInput In;
  In.Kind = FfsKind::Smm;
  In.Name = SomeDriverFile;
  In.Pe = Pe32Plus(0x100, 1);
  In.Depex = {0x06, 0x08};
  In.Ui = "CpuDxe";
  In.Version = "1";
  EXPECT_REASON(ReplaceFiles(C.Image, {BuildFfsFile(In)}, {}), "is DRIVER in the image and SMM in the new file");
  EXPECT_REASON(ReplaceFiles(C.Image, {Driver(SomeDriverFile, 0x100, 1, 0xAA64)}, {}),
                "holds an image for AArch64 (0xAA64); FV 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1 runs x64 (0x8664) "
                "DXE drivers (its DXE core)");
  EXPECT_REASON(ReplaceFiles(C.Image, {FfsFile(G("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"), 0xF0, Bytes(8, 0xFF))}, {}),
                "names every pad file");
}

// Every file of Img, replaced with its own bytes, gives Img back: a stream
// whose decoded bytes stay the same keeps its bytes (Img's streams are at
// liblzma's preset 0, which the edit's preset 6 would not reproduce).
void ExpectEachFileReplacedByItselfGivesTheImage(const Bytes &Img) {
  const Image Parsed = ParseImage(Img);
  const SiteIndex Index = IndexVolumes(Parsed);
  size_t Files = 0;
  for (const Volume *V : Index.Volumes) {
    for (const File &F : V->Files) {
      const Bytes Own = ExtractFile(Img, F.Name, std::nullopt);
      EditSummary Sum;
      EXPECT_EQ(ReplaceFiles(Img, {Own}, {}, &Sum), Img) << F.Name.ToString();
      EXPECT_EQ(Sum.Recompressed, 0u) << F.Name.ToString();
      ++Files;
    }
  }
  EXPECT_GE(Files, 5u);
}

TEST(FwImageRecompress, AFileReplacedByItselfGivesTheImageBackByteForByte) {
  ExpectEachFileReplacedByItselfGivesTheImage(MakeCompressedImage().Image);
  ExpectEachFileReplacedByItselfGivesTheImage(XipImage());
}

// Text-like bytes: LZMA's strongest setting takes about a fifth off preset 0.
Bytes Words(size_t Size, unsigned Seed) {
  static const std::array<std::string, 8> Vocabulary{"volume ", "file ", "section ", "stream ",
                                                     "flash ", "image ", "driver ", "erase "};
  std::mt19937 Rng(Seed); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same text every run
  Bytes Out;
  while (Out.size() < Size) {
    for (const char C : Vocabulary.at(Rng() % Vocabulary.size())) {
      Out.push_back(static_cast<uint8_t>(C));
    }
  }
  Out.resize(Size);
  return Out;
}

const Guid TextFile = G("7E470000-0000-4000-8000-0000000000F1");
Bytes TextDriver(const Bytes &Text) { return FfsFile(TextFile, 0x02, MakeSection(0x19, Text)); }

// The decoded stream of SlottedImage(): the DXE volume with its core and Text.
Bytes SlottedStream(const Bytes &Text) {
  return MakeSection(0x17, MakeVolume({DxeName, 0x3000,
                                       {FfsFile(DxeCoreFile, 0x05, MakeSection(0x10, Pe32Plus(0x100, 0x11))),
                                        TextDriver(Text)}}));
}

// An outer volume whose FV-image file (its stream at preset 0) is followed by
// another file, so the stream has a slot to fit; Xip: a TE image before the
// stream runs from flash.
Bytes SlottedImage(const Bytes &Text, bool Xip = false) {
  std::vector<Bytes> Sections{LzmaSection(SlottedStream(Text))};
  if (Xip) {
    Sections.insert(Sections.begin(), MakeSection(0x12, TeImage(0x40, 0x31, 0x8664)));
  }
  return MakeVolume({OuterName, 0x4000, {FfsFile(FvImageFile, 0x0B, MakeSections(Sections)), UiDriver(Good3, "After")}});
}

TEST(FwImageRecompress, AStreamThatNoLongerFitsTriesTheStrongestSettingThenItsFileMoves) {
  const Bytes Text = Words(0x1000, 1);
  const Bytes Img = SlottedImage(Text);
  const Image Before = ParseImage(Img);
  const File &Compressed = Before.Volumes[0].Files[0];
  const File &After = Before.Volumes[0].Files[1];
  const size_t Slot = After.Offset - Compressed.Offset;
  // A few changed words: at preset 0 the file no longer fits its slot; at the
  // strongest setting it fits with room for a pad file.
  Bytes Edited = Text;
  for (size_t I = 0; I < 0x20; ++I) {
    Edited[I * 0x80] = static_cast<uint8_t>('A' + I);
  }
  const Bytes Props = {0x5D, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
  const size_t Around = Compressed.Size - (LzmaEncodeLike(SlottedStream(Text), Props, 0).size());
  ASSERT_GT(AlignUp(Around + LzmaEncodeLike(SlottedStream(Edited), Props, 0).size(), 8), Slot);
  ASSERT_LE(AlignUp(Around + LzmaEncodeLike(SlottedStream(Edited), Props, StrongestPreset).size(), 8) + 24, Slot);

  EditOptions Fast;
  Fast.Preset = 0;
  EditSummary Sum;
  const Bytes Out = ReplaceFiles(Img, {TextDriver(Edited)}, Fast, &Sum);
  EXPECT_EQ(Sum.Recompressed, 1u);
  EXPECT_EQ(Sum.Strongest, 1u);
  EXPECT_EQ(Sum.FilesMoved(), 0u);
  const Image Kept = ParseImage(Out);
  EXPECT_EQ(Kept.Volumes[0].Files[0].Offset, Compressed.Offset);
  EXPECT_EQ(Kept.Volumes[0].Files[1].Type, 0xF0) << "a pad file takes the rest of the slot";
  EXPECT_TRUE(Same(Slice(Out, After.Offset, After.Size), Slice(Img, After.Offset, After.Size)));
  // At preset 6 it fits at once.
  EditSummary AtSix;
  ReplaceFiles(Img, {TextDriver(Edited)}, {}, &AtSix);
  EXPECT_EQ(AtSix.Recompressed, 1u);
  EXPECT_EQ(AtSix.Strongest, 0u);

  // Bytes no setting compresses: the file moves to the free space, and the
  // summary says from where to where and what it took.
  Bytes Noise(0x1000);
  std::mt19937 Rng(5); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
  std::generate(Noise.begin(), Noise.end(), [&] { return static_cast<uint8_t>(Rng()); });
  EditSummary MovedSum;
  const Image Moved = ParseImage(ReplaceFiles(Img, {TextDriver(Noise)}, {}, &MovedSum));
  ASSERT_EQ(Moved.Volumes[0].Files.size(), 3u);
  const File &Now = Moved.Volumes[0].Files[2];
  EXPECT_EQ(Now.Name, FvImageFile);
  EXPECT_EQ(Now.Offset, AlignUp(After.Offset + After.Size, 8));
  ASSERT_EQ(MovedSum.Volumes.at(0).Moves.size(), 1u);
  const MovedFile &M = MovedSum.Volumes[0].Moves[0];
  EXPECT_EQ(M.File, FvImageFile.ToString());
  EXPECT_EQ(M.From, Compressed.Offset);
  EXPECT_EQ(M.To, Now.Offset);
  EXPECT_EQ(M.Cost, AlignUp(Now.Size, 8));
  EXPECT_TRUE(M.Recompressed);
  EXPECT_EQ(MovedSum.Volumes[0].FreeBefore - MovedSum.Volumes[0].FreeAfter, M.Cost);
  std::ostringstream Text1;
  PrintSummary(Text1, MovedSum);
  EXPECT_NE(Text1.str().find("moved file " + FvImageFile.ToString() + " in FV " + OuterName.ToString() + " from " +
                             HexText(Compressed.Offset) + " to " + HexText(Now.Offset) +
                             " (its recompressed stream no longer fits its place): it took " + HexText(M.Cost) +
                             " bytes of free space"),
            std::string::npos)
      << Text1.str();
  std::ostringstream Json;
  PrintSummaryJson(Json, MovedSum);
  EXPECT_NE(Json.str().find("\"moves\":[{\"file\":\"" + FvImageFile.ToString() + "\",\"volume\":\"" +
                            OuterName.ToString() + "\",\"from\":" + std::to_string(Compressed.Offset) +
                            ",\"to\":" + std::to_string(Now.Offset) + ",\"cost\":" + std::to_string(M.Cost) +
                            ",\"recompressed\":true}]"),
            std::string::npos)
      << Json.str();

  // Where the file runs from flash, it never moves: refused.
  EXPECT_REASON(ReplaceFiles(SlottedImage(Text, true), {TextDriver(Noise)}, {}),
                "file " + FvImageFile.ToString() + " executes in place at 0x60 in FV " + OuterName.ToString() +
                    " and cannot move: its new size");
  EXPECT_REASON(ReplaceFiles(SlottedImage(Text, true), {TextDriver(Noise)}, {}),
                "(the stream in it recompressed, at the strongest setting too)");
}

TEST(FwImageMachine, NewFilesMatchTheVolumesDxeCoreOrItsOtherImages) {
  const CompressedImage C = MakeCompressedImage();
  EXPECT_REASON(InsertFiles(C.Image, {Driver(NewA, 0x100, 1, 0x01C2)}, {}), "ARM (0x01C2); FV 7CB8BDC9");
  // The PEI volume has no DXE-phase file: what does run there, its PEI core, decides.
  EditOptions ToPei;
  ToPei.Volume = PeiName;
  EXPECT_REASON(InsertFiles(C.Image, {Driver(NewA, 0x80, 1, 0x014C)}, ToPei),
                "runs x64 (0x8664) PEIMs (its PEI core) and no DXE driver");
  EXPECT_REASON(InsertFiles(XipImage(), {Driver(NewA, 0x80)}, {}), "x64 (0x8664); FV 64074AFE");
  // The DXE core decides even where most other images run on another machine.
  const Bytes Mixed = MakeVolume({DxeName, 0x1000,
                                  {FfsFile(DxeCoreFile, 0x05, MakeSection(0x10, Pe32Plus(0x80, 1))),
                                   FfsFile(SomeDriverFile, 0x07, MakeSection(0x10, Pe32Plus(0x80, 2, 0x014C))),
                                   FfsFile(NewB, 0x07, MakeSection(0x10, Pe32Plus(0x80, 3, 0x014C)))}});
  EXPECT_REASON(InsertFiles(Mixed, {Driver(NewA, 0x80, 1, 0x014C)}, {}), "IA32 (0x014C); FV 7CB8BDC9");
  // Byte code runs on any machine.
  EXPECT_NO_THROW(InsertFiles(C.Image, {Driver(NewA, 0x100, 1, 0x0EBC)}, {}));
}

// Files as FSPs hold them: IA32 PE32 images (PE32 magic), x64 ones (PE32+).
Bytes Peim(const Guid &Name, uint16_t Machine, uint8_t Fill = 0x41) {
  return FfsFile(Name, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}), MakeSection(0x10, ImageFor(Machine, Fill))}));
}
Bytes Core(const Guid &Name, uint8_t Type, uint16_t Machine) {
  return FfsFile(Name, Type, MakeSection(0x10, ImageFor(Machine, 0x43)));
}
const Guid FspS = G("F5B5F5B5-0000-4000-8000-00000000F5B5");
const Guid PeiCoreFile = G("52C05B14-0B98-496C-BC3B-04B50211D680");
const Guid OtherPeim = G("F5B5F5B5-0000-4000-8000-000000000001");

// An FSP-S-like volume: an IA32 PEI core and PEIM beside an x64 DXE core.
Bytes MixedPhaseVolume(std::vector<Bytes> Files = {}) {
  if (Files.empty()) {
    Files = {Core(PeiCoreFile, 0x04, 0x014C), Peim(OtherPeim, 0x014C), Core(DxeCoreFile, 0x05, 0x8664)};
  }
  return MakeVolume({FspS, 0x2000, Files});
}

TEST(FwImageMachine, EachFileIsHeldToTheMachineOfItsBootPhase) {
  const Bytes Img = MixedPhaseVolume();
  EditOptions ToFspS;
  ToFspS.Volume = FspS;
  EditSummary Summary;
  EXPECT_NO_THROW(InsertFiles(Img, {Driver(NewA, 0x100)}, {}, &Summary));
  EXPECT_TRUE(Summary.Notes.empty());
  EXPECT_NO_THROW(InsertFiles(Img, {Peim(NewA, 0x014C)}, ToFspS));
  EXPECT_REASON(InsertFiles(Img, {Peim(NewA, 0x8664)}, ToFspS),
                "file " + NewA.ToString() + " holds an image for x64 (0x8664); FV " + FspS.ToString() +
                    " runs IA32 (0x014C) PEIMs (its PEI core)");
  EXPECT_REASON(InsertFiles(Img, {Driver(NewA, 0x100, 1, 0x014C)}, ToFspS),
                "holds an image for IA32 (0x014C); FV " + FspS.ToString() + " runs x64 (0x8664) DXE drivers (its DXE core)");
  // Without the cores, the other files of the phase decide.
  const Bytes NoCores = MixedPhaseVolume({Peim(OtherPeim, 0x014C), Core(SomeDriverFile, 0x07, 0x8664)});
  EXPECT_REASON(InsertFiles(NoCores, {Peim(NewA, 0x8664)}, ToFspS), "runs IA32 (0x014C) PEIMs (its other PEIMs)");
  EXPECT_REASON(InsertFiles(NoCores, {Core(NewA, 0x0A, 0x014C)}, ToFspS),
                "runs x64 (0x8664) DXE drivers (its other DXE-phase files)");
  // A replacement is not held to the file it replaces.
  EXPECT_NO_THROW(ReplaceFiles(MixedPhaseVolume({Peim(OtherPeim, 0x8664), Peim(NewA, 0x014C)}), {Peim(OtherPeim, 0x014C)},
                               ToFspS));
}

TEST(FwImageMachine, ADxeDriverWhereNoDxePhaseIsNeedsFvAndIsNoted) {
  const Bytes PeiOnly = MixedPhaseVolume({Core(PeiCoreFile, 0x04, 0x014C), Peim(OtherPeim, 0x014C)});
  EXPECT_REASON(InsertFiles(PeiOnly, {Driver(NewA, 0x100, 1, 0x014C)}, {}),
                "no FV holds a DXE core in this image: name the FV to put the files into with --fv");
  EditOptions ToFspS;
  ToFspS.Volume = FspS;
  EditSummary Summary;
  EXPECT_NO_THROW(InsertFiles(PeiOnly, {Driver(NewA, 0x100, 1, 0x014C)}, ToFspS, &Summary));
  ASSERT_EQ(Summary.Notes.size(), 1u);
  const std::string Note = "nothing may dispatch DRIVER file " + NewA.ToString() + " in FV " + FspS.ToString() +
                           ": it holds no DXE core and no other DXE-phase file, and this image has no DXE core";
  EXPECT_EQ(Summary.Notes[0], Note);
  std::ostringstream Text;
  PrintSummary(Text, Summary);
  EXPECT_HAS(Text.str(), "\nnote: " + Note + "\n");
  std::ostringstream Json;
  PrintSummaryJson(Json, Summary);
  EXPECT_HAS(Json.str(), "\"notes\":[\"" + Note + "\"]}");
  // Where the image has a DXE core elsewhere, the note says the volume lacks one.
  Bytes WithDxe = PeiOnly;
  Append(WithDxe, DxeVolume(0x1000));
  EXPECT_NO_THROW(InsertFiles(WithDxe, {Driver(NewA, 0x100, 1, 0x014C)}, ToFspS, &Summary));
  ASSERT_EQ(Summary.Notes.size(), 1u);
  EXPECT_EQ(Summary.Notes[0].find(", and this image"), std::string::npos) << Summary.Notes[0];
  // Machines are still checked against what runs there.
  EXPECT_REASON(InsertFiles(PeiOnly, {Driver(NewA, 0x100)}, ToFspS),
                "holds an image for x64 (0x8664); FV " + FspS.ToString() +
                    " runs IA32 (0x014C) PEIMs (its PEI core) and no DXE driver");
}

TEST(FwImageMachine, ImagesInsideEfiCompressedSectionsCount) {
  // Kabylake's FSP-S: PEIMs whose only image is inside an EFI 1.1 section, no PEI core.
  const Bytes Inner = MakeSections({MakeSection(0x10, ImageFor(0x014C, 0x51)), MakeSection(0x15, Utf16("Packed"))});
  const Bytes Packed = FfsFile(OtherPeim, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}),
                                                               CompressionSection(Inner.size(), 1, EfiCompress(Inner, EfiVariant::Efi11))}));
  const Bytes Img = MixedPhaseVolume({Packed});
  EditOptions ToFspS;
  ToFspS.Volume = FspS;
  EXPECT_REASON(InsertFiles(Img, {Peim(NewA, 0x8664)}, ToFspS), "runs IA32 (0x014C) PEIMs (its other PEIMs)");
  EXPECT_NO_THROW(InsertFiles(Img, {Peim(NewA, 0x014C)}, ToFspS));
}

TEST(FwImageRemove, PadInTheMiddleFreeSpaceAtTheEndAprioriFilesGuarded) {
  const Bytes Img = DxeVolume(0x2000);
  const Image Before = ParseImage(Img);
  const File &Core = Before.Volumes[0].Files[0];
  const File &Cpu = Before.Volumes[0].Files[1];
  // The core is followed by a file: a pad of its whole slot keeps that one in place.
  const Bytes NoCore = RemoveFiles(Img, {DxeCoreFile}, {});
  ExpectPad(NoCore, Core.Offset, Cpu.Offset - Core.Offset);
  EXPECT_TRUE(Same(Slice(NoCore, Cpu.Offset, Img.size() - Cpu.Offset), Slice(Img, Cpu.Offset, Img.size() - Cpu.Offset)));
  // The last file: erased, free space from where it started.
  const Bytes NoCpu = RemoveFiles(Img, {SomeDriverFile}, {});
  EXPECT_EQ(ParseImage(NoCpu).Volumes[0].FreeOffset, Cpu.Offset);
  EXPECT_TRUE(std::all_of(NoCpu.begin() + static_cast<long>(Cpu.Offset), NoCpu.end(), [](uint8_t B) { return B == 0xFF; }));
  EXPECT_REASON(RemoveFiles(Img, {NewA}, {}), "no file 0D3C0B2A-1111-4A4A-8B8B-000000000001 in this image");

  // An APRIORI file names the driver: refused, unless it goes too.
  const Guid DxeApriori = G("FC510EE7-FFDC-11D4-BD41-0080C73C8881");
  Bytes List(SomeDriverFile.Bytes.begin(), SomeDriverFile.Bytes.end());
  const Bytes WithApriori =
      MakeVolume({DxeName, 0x2000,
                  {FfsFile(DxeApriori, 0x02, MakeSection(0x19, List)),
                   FfsFile(DxeCoreFile, 0x05, MakeSection(0x10, Pe32Plus(0x100, 1))),
                   FfsFile(SomeDriverFile, 0x07, MakeSection(0x10, Pe32Plus(0x100, 2)))}});
  EXPECT_REASON(RemoveFiles(WithApriori, {SomeDriverFile}, {}), "named in the APRIORI file FC510EE7");
  const Image Gone = ParseImage(RemoveFiles(WithApriori, {SomeDriverFile, DxeApriori}, {}));
  ASSERT_EQ(Gone.Volumes[0].Files.size(), 2u);
  EXPECT_EQ(Gone.Volumes[0].Files[0].Type, 0xF0);
  EXPECT_EQ(Gone.Volumes[0].Files[1].Name, DxeCoreFile);
}

TEST(FwImageAnchor, ResetVectorFileSecAndPeiCoreAreNeverRemovedAndKeepTheirPlace) {
  // A Volume Top File (RAW, its last bytes the reset vector) at the end of the SEC volume.
  const Guid Vtf = G("1BA0062E-C779-4582-8566-336AE8F78F09");
  Bytes Reset(0x40, 0x90);
  const Bytes WithVtf = MakeVolume({SecName, 0x400, {UiDriver(Good1, "Sec1"), FfsFile(Vtf, 0x01, Reset)}});
  EXPECT_REASON(RemoveFiles(WithVtf, {Vtf}, {}),
                "file 1BA0062E-C779-4582-8566-336AE8F78F09 is the Volume Top File (the reset vector is in its last "
                "bytes) in FV 763BED0D-DE9F-48F5-81F1-3E90E1B1A015: it is never removed");
  // Replaced by a file of its size: in place. Of another size: refused.
  Reset[0x3F] = 0xEB;
  const Bytes NewVtf = FfsFile(Vtf, 0x01, Reset);
  const Bytes Out = ReplaceFiles(WithVtf, {NewVtf}, {});
  const Image Parsed = ParseImage(WithVtf);
  const File &Old = Parsed.Volumes[0].Files[1];
  EXPECT_TRUE(Same(Slice(Out, Old.Offset, Old.Size), NewVtf));
  Reset.resize(0x38);
  EXPECT_REASON(ReplaceFiles(WithVtf, {FfsFile(Vtf, 0x01, Reset)}, {}),
                "it never moves, so a replacement must have its size 0x58, not 0x50");

  // SEC in flash, the PEI core inside a compressed volume (as in OVMF): the
  // same, wherever they sit.
  EXPECT_REASON(RemoveFiles(XipImage(), {XipSecFile}, {}), "is SEC (the reset vector jumps into it");
  const Guid PeiCore = G("52C05B14-0B98-496C-BC3B-04B50211D680");
  const CompressedImage C = MakeCompressedImage();
  EXPECT_REASON(RemoveFiles(C.Image, {PeiCore}, {}), "is the PEI core (SEC enters it");
  EXPECT_REASON(ReplaceFiles(C.Image, {FfsFile(PeiCore, 0x04, MakeSections({MakeSection(0x10, Pe32Plus(0x200, 0x33))}))},
                             {}),
                "a replacement must have its size");
}

TEST(FwImageExtract, TheFileAsStoredOrOneSectionsBody) {
  const Bytes Img = XipImage();
  const Bytes Want = XipDxeFiles()[1];
  EXPECT_EQ(ExtractFile(Img, XipDriverFile, std::nullopt), Want);
  EXPECT_EQ(ExtractFile(Img, XipDriverFile, SectionKind::Pe32), Pe32Plus(0x201, 0x22, 0xAA64));
  EXPECT_EQ(ExtractFile(Img, XipDriverFile, SectionKind::Depex), Bytes({0x06, 0x08}));
  EXPECT_EQ(ExtractFile(Img, XipPeimFile, SectionKind::Te), TeImage(0x150, 0x32, 0xAA64));
  EXPECT_REASON(ExtractFile(Img, XipDriverFile, SectionKind::Ui), "has no ui section");
  EXPECT_REASON(ExtractFile(Img, XipDriverFile, std::nullopt, PeiName), "no FV named 6938079B");
}


// The listing line that names Key (Below: the line after it).
std::string LineOf(const std::string &Listing, const std::string &Key, bool Below = false) {
  std::istringstream In(Listing);
  std::string Line;
  while (std::getline(In, Line)) {
    if (Line.find(Key) != std::string::npos) {
      if (Below) {
        std::getline(In, Line);
      }
      return Line;
    }
  }
  return "(no line names " + Key + ")";
}

std::string Checksum(const char *What, uint64_t Stored, uint64_t Computed) {
  return std::string(What) + " (stored " + HexText(Stored) + ", computed " + HexText(Computed) + ")";
}

TEST(FwImageList, DamagedImageShowsEachFaultOnItsItemsLineAndReadsOn) {
  const DamagedImage D = MakeDamagedImage();
  const Listing L = ReadListing(D.Image);
  std::ostringstream Out;
  PrintListing(Out, L);
  const std::string Text = Out.str();

  EXPECT_HAS(LineOf(Text, "file " + BadHeader.ToString()),
             "FAULT: file " + BadHeader.ToString() + " at 0x110: " +
                 Checksum("bad header checksum", D.StoredHeaderSum, D.ComputedHeaderSum));
  EXPECT_HAS(LineOf(Text, "file " + BadData.ToString()),
             Checksum("bad data checksum", D.StoredDataSum, D.ComputedDataSum));
  // Encapsulations have lines of their own; the fault is on the section's.
  EXPECT_EQ(LineOf(Text, "file " + UnknownCompression.ToString()).find("FAULT"), std::string::npos);
  EXPECT_HAS(LineOf(Text, "file " + UnknownCompression.ToString(), true),
             "GUID_DEFINED " + SomeCompression.ToString() + "  size 0x58  (not opened)  FAULT: ");
  EXPECT_HAS(LineOf(Text, "file " + UnknownCompression.ToString(), true),
             ": unknown compression GUID " + SomeCompression.ToString() + " (not opened)");
  EXPECT_HAS(LineOf(Text, "file " + BadSection.ToString(), true),
             "PE32  size " + HexText(D.BadSectionSize) + "  FAULT: section at ");
  EXPECT_HAS(LineOf(Text, "file " + BadSection.ToString(), true), "runs past the end of its file");
  EXPECT_HAS(LineOf(Text, "file " + BadSize.ToString()),
             "FAULT: file " + BadSize.ToString() + " at 0x2060: size 0x1000 runs past the end of its volume");
  EXPECT_HAS(LineOf(Text, "FV " + SecName.ToString()),
             "FAULT: FV at 0x2800: " + Checksum("bad header checksum", D.StoredVolumeSum, D.ComputedVolumeSum));

  // The rest is read as if nothing were wrong: good files, in their places,
  // also after a broken one and in the damaged volume.
  for (const Guid &Good : {Good1, Good2, Good3}) {
    EXPECT_HAS(LineOf(Text, "file " + Good.ToString()), "DRIVER");
    EXPECT_EQ(LineOf(Text, "file " + Good.ToString()).find("FAULT"), std::string::npos);
  }
  ASSERT_EQ(L.Volumes.Volumes.size(), 3u);
  EXPECT_EQ(L.Volumes.Volumes[0].Files.size(), 6u);
  EXPECT_EQ(L.FaultCount(), 6u);
  size_t Marked = 0;
  for (size_t At = Text.find("FAULT:"); At != std::string::npos; At = Text.find("FAULT:", At + 1)) {
    ++Marked;
  }
  EXPECT_EQ(Marked, 6u) << Text;
  // The editing commands stay strict: the first fault refuses the image.
  EXPECT_REASON(ParseImage(D.Image), "bad header checksum");
}

TEST(FwImageList, JsonGivesEachFilesMachineAndEscapesText) {
  Bytes Arm = Pe32Plus(0x80, 0);
  Put(Arm, 0x44, 0xAA64, 2);
  Bytes Te = {'V', 'Z', 0xC2, 0x01};
  Te.resize(0x40, 0);
  const Guid ArmFile = G("AA640000-0000-4000-8000-000000000001");
  const Guid TeFile = G("01C20000-0000-4000-8000-000000000002");
  const Bytes Img = MakeVolume(
      {DxeName, 0x1000,
       {FfsFile(ArmFile, 0x07, MakeSections({MakeSection(0x10, Arm), MakeSection(0x15, Utf16("Say \"hi\" \\ bye"))})),
        FfsFile(TeFile, 0x06, MakeSection(0x12, Te)), FfsFile(Good1, 0x01, Bytes(8, 0))}});
  std::ostringstream Out;
  PrintListingJson(Out, ReadListing(Img));
  const std::string Json = Out.str();
  EXPECT_NE(Json.find("\"guid\":\"" + ArmFile.ToString() + "\",\"type\":7,\"typeName\":\"DRIVER\""), std::string::npos)
      << Json;
  EXPECT_NE(Json.find("\"ui\":\"Say \\\"hi\\\" \\\\ bye\",\"machine\":43620,\"machineName\":\"AArch64\""),
            std::string::npos)
      << Json;
  EXPECT_NE(Json.find("\"ui\":null,\"machine\":450,\"machineName\":\"ARM\""), std::string::npos) << Json;
  EXPECT_NE(Json.find("\"ui\":null,\"machine\":null,\"machineName\":null"), std::string::npos) << Json;
  EXPECT_NE(Json.find("\"descriptor\":false,\"flash\":null,\"regions\":[],\"volumes\":[{\"guid\":\"" + DxeName.ToString() +
                      "\",\"fileSystem\":\"8C8CE578-8A3D-4F1C-9935-896185C32DD3\",\"offset\":0,\"size\":4096,"),
            std::string::npos)
      << Json;
  EXPECT_EQ(Json.substr(Json.size() - 17), ",\"faultCount\":0}\n");
}

// Each compression vendors' images use, around the same sections: how the
// section is written, and the name the listing gives the algorithm.
struct Wrapped {
  const char *Algorithm;
  Bytes Section;
};

std::vector<Wrapped> EachCompression(const Bytes &Sections) {
  return {
      {"LZMA", LzmaSection(Sections)},
      {"LZMA x86", GuidedSection(G("D42AE6BD-1352-4BFB-909A-CA72A6EAE889"),
                                 LzmaX86EncodeLike(Sections, TestLzmaHeader, 0))},
      {"Tiano", GuidedSection(G("A31280AD-481E-41B6-95E8-127F4C984779"), EfiCompress(Sections, EfiVariant::Tiano))},
      {"EFI 1.1", CompressionSection(Sections.size(), 0x01, EfiCompress(Sections, EfiVariant::Efi11))},
      // Some vendors put Tiano streams in type-0x01 sections.
      {"Tiano", CompressionSection(Sections.size(), 0x01, EfiCompress(Sections, EfiVariant::Tiano))},
  };
}

const Guid PackedPeim = G("C0DEC000-0000-4000-8000-000000000001");

TEST(FwImageCodec, EveryCompressionIsOpenedListedAndExtractedFrom) {
  const Bytes Pe = Pe32Plus(0x600, 0x3A, 0x014C, 0x10B);
  const Bytes Inner = MakeSections({MakeSection(0x10, Pe), MakeSection(0x15, Utf16("Packed"))});
  for (const Wrapped &W : EachCompression(Inner)) {
    SCOPED_TRACE(W.Algorithm);
    const Bytes Img = MakeVolume(
        {PeiName, 0x2000, {FfsFile(PackedPeim, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}), W.Section}))}});
    ASSERT_NO_THROW(ParseImage(Img));
    const Listing L = ReadListing(Img);
    EXPECT_EQ(L.FaultCount(), 0u);
    std::ostringstream Text;
    PrintListing(Text, L);
    // The UI name inside the stream is the file's; the section line says what decoded it.
    EXPECT_HAS(LineOf(Text.str(), "file " + PackedPeim.ToString()), "PEIM  size ");
    EXPECT_HAS(LineOf(Text.str(), "file " + PackedPeim.ToString()), "\"Packed\"  sections: PEI_DEPEX ");
    EXPECT_HAS(LineOf(Text.str(), "file " + PackedPeim.ToString(), true),
               std::string(" (") + W.Algorithm + ")  size " + HexText(W.Section.size()) + "  decoded " +
                   HexText(Inner.size()));
    std::ostringstream Json;
    PrintListingJson(Json, L);
    EXPECT_HAS(Json.str(), "\"ui\":\"Packed\",\"machine\":332,\"machineName\":\"IA32\"");
    EXPECT_HAS(Json.str(), "\"decodedSize\":" + std::to_string(Inner.size()) + ",\"algorithm\":\"" + W.Algorithm +
                               "\",\"opened\":true");
    EXPECT_EQ(ExtractFile(Img, PackedPeim, SectionKind::Pe32), Pe);
    // Bounded like LZMA: the stream is refused before it is decoded past the total.
    ParseLimits Tight;
    Tight.MaxTotalDecoded = Inner.size() - 1;
    EXPECT_REASON(ParseImage(Img, Tight), "limit");
  }
  // Neither variant decodes: both reasons, on the section's line.
  Bytes Garbage = EfiCompress(Inner, EfiVariant::Efi11);
  std::fill(Garbage.begin() + 8, Garbage.end(), 0xFF);
  const Bytes Bad = MakeVolume({PeiName, 0x2000, {FfsFile(PackedPeim, 0x06, CompressionSection(Inner.size(), 1, Garbage))}});
  std::ostringstream Text;
  PrintListing(Text, ReadListing(Bad));
  EXPECT_HAS(LineOf(Text.str(), "file " + PackedPeim.ToString(), true), "FAULT: EFI 1.1 compressed data: ");
  EXPECT_HAS(LineOf(Text.str(), "file " + PackedPeim.ToString(), true), "; as Tiano compressed data: ");
}

// The parse that checks an edit takes the decoding that proved a stream only
// for those very bytes, decoded by that very codec.
TEST(FwImageCodec, KnownStreamsAnswerOnlyForTheirOwnBytesAndCodec) {
  const Codec &Lzma = CodecOf(Compression::Lzma);
  const Bytes Stream{0x5D, 0x00, 0x00, 0x10, 0x00, 0x42};
  const auto Decoded = std::make_shared<const Bytes>(Bytes(0x40, 0x7E));
  KnownStreams Known;
  Known.Add(Lzma, Stream, Decoded);
  EXPECT_EQ(Known.Find(Lzma, Stream), Decoded);
  Bytes OtherByte = Stream;
  OtherByte[3] ^= 1;
  EXPECT_EQ(Known.Find(Lzma, OtherByte), nullptr);
  EXPECT_EQ(Known.Find(Lzma, ByteView(Stream).first(Stream.size() - 1)), nullptr);
  Bytes Longer = Stream;
  Longer.push_back(0);
  EXPECT_EQ(Known.Find(Lzma, Longer), nullptr);
  EXPECT_EQ(Known.Find(CodecOf(Compression::LzmaX86), Stream), nullptr);
  EXPECT_EQ(KnownStreams().Find(Lzma, Stream), nullptr);
}

TEST(FwImageCodec, AnEditInsideEachCompressionEncodesWithTheAlgorithmThatDecoded) {
  const Bytes Stream = MakeSections({MakeSection(0x19, Bytes(0x10, 0)), MakeSection(0x17, DxeVolume(0x2000))});
  const Bytes New = Driver(NewA, 0x300, 0x61);
  for (const Wrapped &W : EachCompression(Stream)) {
    SCOPED_TRACE(W.Algorithm);
    const Bytes Img = MakeVolume({OuterName, 0x2000, {FfsFile(FvImageFile, 0x0B, W.Section)}});
    EditSummary Summary;
    const Bytes Out = InsertFiles(Img, {New}, {}, &Summary);
    EXPECT_EQ(Summary.Recompressed, 1u);
    EXPECT_EQ(ExtractFile(Out, NewA, std::nullopt), New);
    EXPECT_EQ(ExtractFile(Out, SomeDriverFile, std::nullopt), ExtractFile(Img, SomeDriverFile, std::nullopt));
    const Image After = ParseImage(Out);
    const Section &S = After.Volumes.at(0).Files.at(0).Sections.at(0);
    std::ostringstream Text;
    PrintImage(Text, After);
    EXPECT_HAS(Text.str(), std::string(" (") + W.Algorithm + ")  size " + HexText(S.Size));
    ASSERT_NE(S.Decoded(), nullptr);
    if (S.Type == 0x01) {
      EXPECT_EQ(ReadU32(Out, S.Offset + 4), S.Decoded()->size()) << "UncompressedLength";
    }
  }
}

// 64 KiB: descriptor, ME (erased), platform data holding a volume with a DXE
// core (a decoy: not the BIOS region's), a gap, and the BIOS region.
constexpr size_t FlashSize = 0x10000;
constexpr size_t BiosAt = 0x8000;
constexpr size_t DecoyAt = 0x2000;

Bytes FlashWithDecoy(const std::vector<RegionLayout> &Regions, bool BiosVolume = true) {
  Bytes Img = MakeFlashImage(FlashSize, Regions);
  const Bytes Decoy = DxeVolume(0x2000);
  std::copy(Decoy.begin(), Decoy.end(), Img.begin() + DecoyAt);
  for (size_t I = DecoyAt + Decoy.size(); I < BiosAt; ++I) {
    Img[I] = static_cast<uint8_t>(I * 7 + 3);
  }
  if (BiosVolume) {
    const Bytes Bios = DxeVolume(0x2000);
    std::copy(Bios.begin(), Bios.end(), Img.begin() + BiosAt);
  }
  return Img;
}

const std::vector<RegionLayout> GoodRegions = {
    {0, 0, 0x1000}, {1, BiosAt, FlashSize - BiosAt}, {2, 0x1000, 0x1000}, {4, DecoyAt, 0x4000}};

TEST(FwImageDescriptor, RegionsAreListedAndOnlyTheBiosRegionIsSearchedAndChanged) {
  const Bytes Img = FlashWithDecoy(GoodRegions);
  const Listing L = ReadListing(Img);
  ASSERT_TRUE(L.Flash);
  std::vector<std::string> Regions;
  for (const FlashRegion &R : L.Flash->Regions) {
    Regions.push_back(std::to_string(R.Index) + " " + R.Name + " " + HexText(R.Offset) + " " + HexText(R.Size));
  }
  EXPECT_EQ(Regions, (std::vector<std::string>{"0 descriptor 0x0 0x1000", "1 BIOS 0x8000 0x8000", "2 ME 0x1000 0x1000",
                                               "4 platform data 0x2000 0x4000"}));
  ASSERT_EQ(L.Volumes.Volumes.size(), 1u);
  EXPECT_EQ(L.Volumes.Volumes[0].Offset, BiosAt) << "volumes are listed at their offsets in the image";
  EXPECT_EQ(L.FaultCount(), 0u);
  EXPECT_FALSE(ReadListing(DxeVolume(0x2000)).Flash) << "no signature at 0x10: not a descriptor image";

  const Bytes Out = InsertFiles(Img, {Driver(NewA, 0x100)}, {});
  ASSERT_EQ(Out.size(), Img.size());
  EXPECT_TRUE(std::equal(Img.begin(), Img.begin() + BiosAt, Out.begin()))
      << "descriptor, ME, platform data (with its decoy volume) and the gap stay as they were";
  EXPECT_EQ(ParseVolumeArea(Out).Volumes.at(0).Files.back().Name, NewA);
  // The decoy outside the BIOS region is never a target, even when the BIOS region has none.
  EXPECT_REASON(InsertFiles(FlashWithDecoy(GoodRegions, false), {Driver(NewA, 0x100)}, {}),
                "no firmware volume header found in 0x8000-0x10000");
}

TEST(FwImageDescriptor, ReplaceRemoveAndExtractSeeOnlyTheBiosRegion) {
  // The decoy holds the same files as the BIOS region's volume: a search of
  // the whole image would find each twice and refuse.
  const Bytes Img = FlashWithDecoy(GoodRegions);
  const Bytes Cpu = ExtractFile(Img, SomeDriverFile, std::nullopt, std::nullopt);
  const File Inside = ParseVolumeArea(Img).Volumes.at(0).Files.at(1);
  ASSERT_EQ(Inside.Name, SomeDriverFile);
  EXPECT_TRUE(std::equal(Cpu.begin(), Cpu.end(), Img.begin() + static_cast<std::ptrdiff_t>(Inside.Offset)));
  EXPECT_GE(Inside.Offset, BiosAt);

  for (const Bytes &Out : {ReplaceFiles(Img, {Driver(SomeDriverFile, 0x300, 0x77)}, {}),
                           RemoveFiles(Img, {SomeDriverFile}, {})}) {
    ASSERT_EQ(Out.size(), Img.size());
    EXPECT_TRUE(std::equal(Img.begin(), Img.begin() + BiosAt, Out.begin()))
        << "the decoy's copy and everything else before the BIOS region stay as they were";
    EXPECT_FALSE(std::equal(Img.begin() + BiosAt, Img.end(), Out.begin() + BiosAt));
  }
  const Bytes NoBiosVolume = FlashWithDecoy(GoodRegions, false);
  EXPECT_REASON(RemoveFiles(NoBiosVolume, {SomeDriverFile}, {}), "no firmware volume header found in 0x8000-0x10000");
  EXPECT_REASON(ExtractFile(NoBiosVolume, SomeDriverFile, std::nullopt, std::nullopt),
                "no firmware volume header found in 0x8000-0x10000");
}

// The BIOS region ends where its entry says, not at the image's end: a
// volume filling it to its last byte is read whole, and the volume in the
// platform-data region after it is not read at all.
TEST(FwImageDescriptor, VolumesAreReadUpToTheBiosRegionsLastByte) {
  constexpr size_t At = 0x1000;
  constexpr size_t Size = 0x7000;
  Bytes Img = MakeFlashImage(FlashSize, {{0, 0, 0x1000}, {1, At, Size}, {4, At + Size, FlashSize - At - Size}});
  CopyInto(Img, At, DxeVolume(Size));
  CopyInto(Img, At + Size, DxeVolume(0x2000));
  const Listing L = ReadListing(Img);
  ASSERT_EQ(L.Volumes.Volumes.size(), 1u);
  EXPECT_EQ(L.Volumes.Volumes[0].Offset, At);
  EXPECT_EQ(L.Volumes.Volumes[0].Length, Size);
  EXPECT_EQ(L.FaultCount(), 0u);
  EXPECT_EQ(ParseVolumeArea(Img).Volumes.size(), 1u);
}

TEST(FwImageDescriptor, BrokenRegionTablesAreRefusedForEditsAndMarkedInTheListing) {
  struct Case {
    std::vector<RegionLayout> Regions;
    const char *Reason;
  };
  const Case Cases[] = {
      {{{0, 0, 0x1000}, {1, BiosAt, 0x10000}, {2, 0x1000, 0x1000}},
       "BIOS region 0x8000-0x17FFF runs past the end of the image (0x10000 bytes)"},
      {{{0, 0, 0x1000}, {1, BiosAt, FlashSize - BiosAt}, {2, 0x1000, 0x8000}},
       "ME region 0x1000-0x8FFF overlaps the BIOS region"},
      {{{0, 0, 0x1000}, {2, 0x1000, 0x1000}}, "flash descriptor: no BIOS region"},
  };
  for (const Case &C : Cases) {
    const Bytes Img = FlashWithDecoy(C.Regions);
    EXPECT_REASON(InsertFiles(Img, {Driver(NewA, 0x100)}, {}), C.Reason);
    const Listing L = ReadListing(Img);
    std::ostringstream Out;
    PrintListing(Out, L);
    EXPECT_NE(Out.str().find(std::string("FAULT: ") + C.Reason), std::string::npos) << Out.str();
    EXPECT_EQ(L.FaultCount(), 1u) << Out.str();
  }
}

// The one fault line of the image or volume a listing of Img shows, and how many faults it has.
std::pair<std::string, size_t> OnlyFault(const Bytes &Img) {
  const Listing L = ReadListing(Img);
  std::ostringstream Out;
  PrintListing(Out, L);
  std::string Line = "(no fault)";
  std::istringstream In(Out.str());
  for (std::string Next; std::getline(In, Next);) {
    Line = Next.find("FAULT") != std::string::npos ? Next : Line;
  }
  return {Line, L.FaultCount()};
}

// DXE volume (0x2000), a PEI volume (0x800) at 0x2000, the SEC volume (0x400)
// at 0x2800 and a second DXE-like volume (0x1000) at 0x2C00.
const Guid FarName = G("F0F0F0F0-0000-4000-8000-00000000000F");
Bytes FourVolumes() {
  Bytes Img = DxeVolume(0x2000);
  Append(Img, MakeVolume({PeiName, 0x800, {UiDriver(Good1, "Peim")}}));
  Append(Img, MakeVolume({SecName, 0x400, {}}));
  Append(Img, MakeVolume({FarName, 0x1000, {UiDriver(Good2, "Far")}}));
  return Img;
}

TEST(FwImageStray, BytesNoItemHoldsAreFaultsWithTheirPlaceAndStopEditsNextToThem) {
  const Bytes Img = FourVolumes();
  ASSERT_EQ(OnlyFault(Img).second, 0u);
  // The PEI volume's signature damaged: its 0x800 bytes are no longer a volume.
  Bytes NoSignature = Img;
  NoSignature[0x2000 + 40] = 'X';
  // "_FVH" in a file's data there (code that looks for volumes has it) with
  // no sane length around it is no volume either.
  Put(NoSignature, 0x20C0, 0x4856465F, 4);
  const auto [Line, Count] = OnlyFault(NoSignature);
  EXPECT_EQ(Line, "FAULT: 0x800 bytes at 0x2000 are neither erased nor in a firmware volume (an FFS volume header "
                  "without its _FVH signature at 0x2000)");
  EXPECT_EQ(Count, 1u);
  // Edits of the volumes on either side are refused; one further off goes on,
  // and the damaged bytes stay as they were.
  const Bytes A = Driver(NewA, 0x100);
  EXPECT_REASON(InsertFiles(NoSignature, {A}, {}),
                "0x800 bytes at 0x2000, next to FV 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1, are neither erased nor in a "
                "firmware volume");
  EditOptions Sec;
  Sec.Volume = SecName;
  EXPECT_REASON(InsertFiles(NoSignature, {UiDriver(NewB, "B")}, Sec), "next to FV 763BED0D");
  const Bytes Far = ReplaceFiles(NoSignature, {UiDriver(Good2, "Farther")}, {});
  EXPECT_TRUE(Same(Slice(Far, 0, 0x2C00), Slice(NoSignature, 0, 0x2C00)));
  EXPECT_FALSE(Same(Far, NoSignature));

  // Data in the DXE volume's free space: a fault of that volume, from its
  // first stray byte to its last; no edit of that volume.
  Bytes Dirty = Img;
  Dirty[0x1F00] = 0;
  Dirty[0x1F07] = 0x12;
  EXPECT_NE(OnlyFault(Dirty).first.find("FAULT: FV at 0x0: 0x8 bytes at 0x1F00 are neither erased nor part of a file"),
            std::string::npos)
      << OnlyFault(Dirty).first;
  EXPECT_REASON(InsertFiles(Dirty, {A}, {}), "FV 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1 holds 0x8 bytes at 0x1F00");
  EXPECT_NO_THROW(ReplaceFiles(Dirty, {UiDriver(Good2, "Farther")}, {}));

  // The bytes between a file and the next 8-byte boundary are the volume's erase byte too.
  const Image Parsed = ParseImage(Img);
  const File &Pei = Parsed.Volumes.at(1).Files.at(0);
  ASSERT_NE(Pei.Size % 8, 0u) << "the test needs a file that does not end on 8 bytes";
  Bytes Slack = Img;
  Slack[Pei.Offset + Pei.Size] = 0x00;
  EXPECT_NE(OnlyFault(Slack).first.find("0x1 bytes at " + HexText(Pei.Offset + Pei.Size) + " are neither erased"),
            std::string::npos)
      << OnlyFault(Slack).first;
}

TEST(FwImageStray, EmptyGapsAndTheArmBranchToTheFirstVolumeAreNoFault) {
  for (const uint8_t Fill : {0xFF, 0x00}) {
    Bytes Img(0x1000, Fill);
    Append(Img, DxeVolume(0x2000));
    Append(Img, Bytes(0x800, Fill));
    EXPECT_EQ(OnlyFault(Img).second, 0u) << OnlyFault(Img).first;
  }
  // ARM "B 0x1000" (0xEA0003FE) and AArch64 "B 0x1000" (0x14000400) at 0,
  // as QEMU's ARM images start; a branch elsewhere is stray.
  for (const auto &[Instruction, Faults] : {std::pair<uint32_t, size_t>{0xEA0003FE, 0}, {0x14000400, 0},
                                            {0xEA0003FD, 1}, {0x14000401, 1}}) {
    Bytes Img(0x1000, 0xFF);
    Put(Img, 0, Instruction, 4);
    Append(Img, DxeVolume(0x2000));
    EXPECT_EQ(OnlyFault(Img).second, Faults) << std::hex << Instruction << " " << OnlyFault(Img).first;
  }
}

} // namespace

namespace {

using Step = fwimage::LayoutStep;
using Kind = fwimage::LayoutStep::Kind;

// A volume of 0x1000 bytes, files from 0x48: A [0x48, 0x148), B [0x148, 0x248)
// and C [0x248, 0x400), free space from 0x400. B is written anew with NewSize
// bytes (24-byte header, 8-byte alignment).
fwimage::LayoutInput ThreeFiles(size_t NewSize, bool Xip) {
  fwimage::LayoutInput In;
  In.Volume = "V";
  In.Length = 0x1000;
  In.FilesOffset = 0x48;
  In.FreeOffset = 0x400;
  for (const auto &[Start, End] : {std::pair<size_t, size_t>{0x48, 0x148}, {0x148, 0x248}, {0x248, 0x400}}) {
    fwimage::SlotFile F;
    F.Name = "F" + std::to_string(In.Files.size());
    F.Start = Start;
    F.SlotEnd = End;
    In.Files.push_back(F);
  }
  fwimage::SlotFile &B = In.Files[1];
  B.Action = fwimage::SlotFile::Fate::Write;
  B.NewSize = NewSize;
  B.HeaderSize = 24;
  B.Alignment = 8;
  B.Given = true;
  B.Xip = Xip;
  return In;
}

} // namespace

TEST(FwImageLayout, ASmallerFileStaysWithAPadALargerOneMovesToTheFreeSpace) {
  const LayoutPlan Smaller = PlanLayout(ThreeFiles(0x80, true));
  ASSERT_FALSE(Smaller.Refusal) << *Smaller.Refusal;
  const std::vector<Step> InPlace{{Kind::Erase, 0x148, 0x100, 0}, {Kind::Put, 0x148, 0x80, 1}, {Kind::Pad, 0x1C8, 0x80, 0}};
  EXPECT_EQ(Smaller.Steps, InPlace);
  EXPECT_EQ(Smaller.End, 0x400u);
  EXPECT_TRUE(Smaller.Moves.empty());

  const LayoutPlan Larger = PlanLayout(ThreeFiles(0x180, false));
  ASSERT_FALSE(Larger.Refusal) << *Larger.Refusal;
  const std::vector<Step> Moved{{Kind::Pad, 0x148, 0x100, 0}, {Kind::Put, 0x400, 0x180, 1}};
  EXPECT_EQ(Larger.Steps, Moved);
  EXPECT_EQ(Larger.End, 0x580u);
  // From its slot to the free space, which it takes 0x180 bytes of.
  EXPECT_EQ(Larger.Moves, (std::vector<fwimage::FileMove>{{1, 0x148, 0x400, 0x180}}));

  // 8 bytes left in the slot are too few for a pad file: the file moves.
  EXPECT_EQ(PlanLayout(ThreeFiles(0xF8, false)).Moves.size(), 1u);
}

TEST(FwImageLayout, AnXipFileThatWouldMoveIsRefused) {
  const auto Refusal = PlanLayout(ThreeFiles(0x180, true)).Refusal;
  ASSERT_TRUE(Refusal);
  EXPECT_NE(Refusal->find("file F1 executes in place at 0x148 in FV V and cannot move: its new size 0x180 does not "
                          "fit the 0x100 bytes before the next file"),
            std::string::npos)
      << *Refusal;
  const auto TooFew = PlanLayout(ThreeFiles(0xF8, true)).Refusal;
  ASSERT_TRUE(TooFew);
  EXPECT_NE(TooFew->find("leave 8 bytes before the next file, too few for a pad file"), std::string::npos) << *TooFew;
}

TEST(FwImageLayout, AnAnchoredFileNeverMovesWhereverItSits) {
  fwimage::LayoutInput In = ThreeFiles(0x180, false);
  In.Files[1].Anchor = "the PEI core (why)";
  const auto Refusal = PlanLayout(In).Refusal;
  ASSERT_TRUE(Refusal);
  EXPECT_NE(Refusal->find("file F1 is the PEI core (why), at 0x148 in FV V and never moves: its new size 0x180"),
            std::string::npos)
      << *Refusal;
  In.Files[1].NewSize = 0x100;
  EXPECT_FALSE(PlanLayout(In).Refusal) << "its own slot it keeps";
}

TEST(FwImageLayout, AnAppendPastTheEndNeedsRoomOrGrowthAndAlignsWithAPad) {
  fwimage::LayoutInput Short = ThreeFiles(0x180, false);
  Short.Length = 0x500;
  const auto NoRoom = PlanLayout(Short).Refusal;
  ASSERT_TRUE(NoRoom);
  EXPECT_EQ(*NoRoom, "no room in FV V: 128 bytes missing (0x100 free)");
  Short.CanGrow = true;
  const LayoutPlan Grows = PlanLayout(Short);
  EXPECT_FALSE(Grows.Refusal);
  EXPECT_TRUE(Grows.Grows(Short));
  EXPECT_EQ(Grows.End, 0x580u);

  // A new file whose data must sit on 4 KiB: a pad from the free space up to 24 bytes before it.
  fwimage::LayoutInput Aligned = ThreeFiles(0x100, false);
  Aligned.Files[1].Action = fwimage::SlotFile::Fate::Keep;
  Aligned.Length = 0x2000;
  Aligned.Adds.push_back({0x60, 24, 0x1000});
  const LayoutPlan Plan = PlanLayout(Aligned);
  const std::vector<Step> Padded{{Kind::Pad, 0x400, 0xBE8, 0}, {Kind::Put, 0xFE8, 0x60, 3}};
  EXPECT_EQ(Plan.Steps, Padded);
  EXPECT_EQ(Plan.Tail, 0x1048u);
}
