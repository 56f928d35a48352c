// fwimage: reading images (every defect a one-line reason, bounded work) and
// inserting files into plain and LZMA-wrapped DXE volumes.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "Ffs.h"
#include "FirmwareVolume.h"
#include "FwImageTestImages.h"
#include "Insert.h"
#include "List.h"

using namespace fwimage;
using namespace fwtest;

namespace {

template <typename Fn> std::string ReasonOf(Fn F) {
  try {
    F();
  } catch (const Error &E) {
    return E.what();
  }
  return "(no error)";
}

#define EXPECT_REASON(Call, Text) EXPECT_NE(ReasonOf([&] { Call; }).find(Text), std::string::npos) << ReasonOf([&] { Call; })

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

Bytes Driver(const Guid &Name, size_t PeSize, uint8_t Fill = 0x5A) {
  FfsBuildInput In;
  In.Name = Name;
  In.Pe = Pe32Plus(PeSize, Fill);
  In.Depex = {0x06, 0x08};
  In.Ui = "Driver";
  In.Version = "1.0";
  return BuildFfsFile(In);
}

const Guid NewA = G("0D3C0B2A-1111-4A4A-8B8B-000000000001");
const Guid NewB = G("0D3C0B2A-1111-4A4A-8B8B-000000000002");

const Volume &DecodedDxe(const Image &Img) {
  const Section &Lzma = Img.Volumes.at(0).Files.at(0).Sections.at(0);
  return Lzma.Children.at(3).Volumes.at(0);
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
  InsertSummary Sum;
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
  EXPECT_EQ(Sum.TargetFreeAfter, After.Volumes[0].FreeSize());
}

TEST(FwImageInsert, LzmaWrappedVolumeIsRewrittenWithEverythingElseInPlace) {
  const CompressedImage C = MakeCompressedImage();
  const Image Before = ParseImage(C.Image);
  const Bytes &OldStream = *Before.Volumes[0].Files[0].Sections[0].Decoded;
  const Volume &OldDxe = DecodedDxe(Before);
  const size_t FreeAt = OldDxe.Offset + OldDxe.FreeOffset;
  const Bytes A = Driver(NewA, 0x180);

  InsertSummary Sum;
  const Bytes Out = InsertFiles(C.Image, {A}, {}, &Sum);
  ASSERT_EQ(Out.size(), C.Image.size());
  EXPECT_TRUE(std::equal(C.Image.begin() + static_cast<long>(C.OuterLength), C.Image.end(),
                         Out.begin() + static_cast<long>(C.OuterLength)))
      << "the volume after the rewritten one must not move or change";
  EXPECT_EQ(Sum.Recompressed, 1u);

  const Image After = ParseImage(Out);
  const Bytes &NewStream = *After.Volumes[0].Files[0].Sections[0].Decoded;
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
  EXPECT_EQ(Sum.OuterFreeAfter, After.Volumes[0].FreeSize());
}

TEST(FwImageInsert, VolumeInsideAPlainFvImageFileKeepsThatFileValid) {
  // The FV-image file's data checksum covers the inner volume's free space.
  const Bytes Inner = DxeVolume(0x800);
  const Bytes Img = MakeVolume({OuterName, 0x1000, {FfsFile(FvImageFile, 0x0B, MakeSection(0x17, Inner))}});
  const Image After = ParseImage(InsertFiles(Img, {Driver(NewA, 0x80)}, {}));
  EXPECT_EQ(After.Volumes[0].Files[0].Sections[0].Volumes[0].Files.back().Name, NewA);
}

TEST(FwImageInsert, NamedVolumeAndErasePolarityZero) {
  const CompressedImage C = MakeCompressedImage();
  InsertOptions ToPei;
  ToPei.TargetVolume = PeiName;
  const Image After = ParseImage(InsertFiles(C.Image, {Driver(NewA, 0x80)}, ToPei));
  const Section &Lzma = After.Volumes[0].Files[0].Sections[0];
  EXPECT_EQ(Lzma.Children[1].Volumes[0].Files.back().Name, NewA);

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
  InsertOptions Missing;
  Missing.TargetVolume = NewB;
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

  // Data in the DXE volume's free space.
  Bytes Dirty = DxeVolume(0x2000);
  Dirty[0x1F00] = 0;
  EXPECT_REASON(InsertFiles(Dirty, {A}, {}), "free space holds data");

}

} // namespace
