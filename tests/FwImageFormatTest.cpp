// fwimage: GUID layout, dependency-expression assembly, and the FFS files
// the builder writes, checked byte by byte against the PI layouts.
#include <gtest/gtest.h>

#include <sstream>

#include "Depex.h"
#include "Ffs.h"
#include "FirmwareVolume.h"
#include "FwImageTestImages.h"
#include "Json.h"

using namespace fwimage;
using namespace fwtest;

namespace {

const char *const VariableArch = "1E5668E2-8481-11D4-BCF1-0080C73C8881";

TEST(FwImageGuid, RegistryFormIsStoredMixedEndian) {
  const auto Lzma = Guid::Parse("{EE4E5898-3914-4259-9D6E-DC7BD79403CF}");
  ASSERT_TRUE(Lzma);
  const std::array<uint8_t, 16> Stored = {0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42,
                                          0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF};
  EXPECT_EQ(Lzma->Bytes, Stored);
  EXPECT_EQ(Lzma->ToString(), "EE4E5898-3914-4259-9D6E-DC7BD79403CF");
  for (const char *Bad : {"EE4E5898-3914-4259-9D6E-DC7BD79403C", "EE4E5898-3914-4259-9D6E-DC7BD79403CF0",
                          "EE4E58983914-4259-9D6E-DC7BD79403CF-", "EE4E5898-3914-4259-9D6E-DC7BD79403CG",
                          "{EE4E5898-3914-4259-9D6E-DC7BD79403CF", ""}) {
    EXPECT_FALSE(Guid::Parse(Bad)) << Bad;
  }
}

TEST(FwImageDepex, AssemblesPostfixCodeAndAppendsEnd) {
  const Bytes Push = AssembleDepex({"PUSH", VariableArch});
  ASSERT_EQ(Push.size(), 18u);
  EXPECT_EQ(Push[0], 0x02);
  EXPECT_EQ(Push[1], 0xE2); // first field little-endian
  EXPECT_EQ(Push[17], 0x08);
  EXPECT_EQ(AssembleDepex({"TRUE", "END"}), (Bytes{0x06, 0x08}));
  EXPECT_EQ(AssembleDepex({"TRUE", "FALSE", "OR", "NOT"}), (Bytes{0x06, 0x07, 0x04, 0x05, 0x08}));
  const Bytes Both = AssembleDepex({"PUSH", VariableArch, "PUSH", VariableArch, "AND"});
  EXPECT_EQ(DecodeDepex(Both), (std::vector<std::string>{std::string("PUSH ") + VariableArch,
                                                         std::string("PUSH ") + VariableArch, "AND", "END"}));
}

TEST(FwImageDepex, RejectsExpressionsThatDoNotLeaveOneValue) {
  EXPECT_NE(ReasonOf([] { AssembleDepex({"AND"}); }).find("needs 2 value(s), the stack holds 0"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"TRUE", "TRUE"}); }).find("leaves 2 values"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"END"}); }).find("leaves 0 values"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"TRUE", "NOT", "NOT", "TRUE"}); }).find("leaves 2"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"TRUE", "END", "TRUE"}); }).find("after END"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"PUSH"}); }).find("PUSH without a GUID"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"PUSH", "gVariableArchGuid"}); }).find("not a GUID"), std::string::npos);
  EXPECT_NE(ReasonOf([] { AssembleDepex({"TRUE", "XOR"}); }).find("unknown token 'XOR'"), std::string::npos);
}

TEST(FwImageDepex, DecoderRefusesCutShortOrTrailingCode) {
  EXPECT_NE(ReasonOf([] { DecodeDepex(Bytes{0x02, 0x01, 0x02}); }).find("PUSH cut short"), std::string::npos);
  EXPECT_NE(ReasonOf([] { DecodeDepex(Bytes{0x06}); }).find("no END"), std::string::npos);
  EXPECT_NE(ReasonOf([] { DecodeDepex(Bytes{0x06, 0x08, 0x08}); }).find("after END"), std::string::npos);
  EXPECT_NE(ReasonOf([] { DecodeDepex(Bytes{0x06, 0x0A, 0x08}); }).find("unknown opcode 0xA"), std::string::npos);
  EXPECT_NE(ReasonOf([] { DecodeDepex(Bytes{}); }).find("no END"), std::string::npos);
}

FfsBuildInput DriverInput(FfsKind Kind, size_t PeSize) {
  FfsBuildInput In;
  In.Kind = Kind;
  In.Name = G("B2D7C2F1-6E21-4A6F-9C34-0D2B6E8A5F13");
  In.Pe = Pe32Plus(PeSize, 0x5A);
  In.Depex = AssembleDepex({"PUSH", VariableArch}); // 18 bytes: the next section needs padding
  In.Ui = "BoardSetupDxe";
  In.Version = "1.0";
  return In;
}

// Walks the built file's sections the way a dispatcher does.
struct SectionSeen {
  size_t Offset;
  size_t Size;
  uint8_t Type;
};
std::vector<SectionSeen> WalkSections(const Bytes &F) {
  std::vector<SectionSeen> Seen;
  size_t At = 24;
  while (At < F.size()) {
    const size_t Size = F[At] | (F[At + 1] << 8) | (F[At + 2] << 16);
    Seen.push_back({At, Size, F[At + 3]});
    At = (At + Size + 3) / 4 * 4;
  }
  return Seen;
}

TEST(FwImageFfs, DriverFileHasAlignedSectionsInOrderAndValidChecksums) {
  for (const FfsKind Kind : {FfsKind::Driver, FfsKind::Smm}) {
    const FfsBuildInput In = DriverInput(Kind, 0x1001);
    const Bytes F = BuildFfsFile(In);
    const bool Smm = Kind == FfsKind::Smm;
    EXPECT_EQ(F[18], Smm ? 0x0A : 0x07);
    EXPECT_EQ(F[23], 0xF8);
    EXPECT_EQ(static_cast<size_t>(F[20] | (F[21] << 8) | (F[22] << 16)), F.size());
    // Header sums to 0 with State and the file checksum counted as 0.
    EXPECT_EQ(static_cast<uint8_t>(Sum8(F.data(), 24) - F[17] - F[23]), 0);
    EXPECT_EQ(F[19] & 0x40, 0x40);
    EXPECT_EQ(static_cast<uint8_t>(Sum8(F.data() + 24, F.size() - 24) + F[17]), 0);

    const auto Seen = WalkSections(F);
    ASSERT_EQ(Seen.size(), 4u);
    EXPECT_EQ(Seen[0].Type, Smm ? 0x1C : 0x13);
    EXPECT_EQ(Seen[1].Type, 0x10);
    EXPECT_EQ(Seen[2].Type, 0x15);
    EXPECT_EQ(Seen[3].Type, 0x14);
    for (const SectionSeen &S : Seen) {
      EXPECT_EQ(S.Offset % 4, 0u) << "section type " << int(S.Type);
    }
    EXPECT_EQ(Seen[0].Size, 4 + In.Depex.size());
    EXPECT_EQ(Bytes(F.begin() + Seen[1].Offset + 4, F.begin() + Seen[1].Offset + Seen[1].Size), In.Pe);
    EXPECT_EQ(Bytes(F.begin() + Seen[2].Offset + 4, F.begin() + Seen[2].Offset + Seen[2].Size),
              Utf16("BoardSetupDxe"));
    Bytes Version = {0, 0};
    Append(Version, Utf16("1.0"));
    EXPECT_EQ(Bytes(F.end() - Seen[3].Size + 4, F.end()), Version);
    EXPECT_EQ(Seen[3].Offset + Seen[3].Size, F.size()) << "no trailing pad";

    const File Parsed = ParseStandaloneFile(F);
    EXPECT_EQ(Parsed.UiName, "BoardSetupDxe");
    EXPECT_EQ(Parsed.Name, In.Name);
  }
}

// Every type an integrator re-packs, with the file type and the sections in
// order that PI gives it (depex types: PEI 0x1B, DXE 0x13, SMM and MM 0x1C).
TEST(FwImageFfs, EveryTypeAnIntegratorRepacksRoundTripsThroughTheStrictParser) {
  const Bytes Te = TeImage(0x180, 0x2E, 0x014C);
  const Bytes Blob = {'m', 'i', 'c', 'r', 'o', 'c', 'o', 'd', 'e'};
  struct Case {
    FfsKind Kind;
    bool UseTe, WithDepex, WithNames;
    uint8_t FileType;
    std::vector<uint8_t> Sections; // empty: the body is the data
  };
  const Case Cases[] = {
      {FfsKind::Peim, false, true, true, 0x06, {0x1B, 0x10, 0x15, 0x14}},
      {FfsKind::Peim, true, false, true, 0x06, {0x12, 0x15, 0x14}},
      {FfsKind::Driver, false, false, true, 0x07, {0x10, 0x15, 0x14}},
      {FfsKind::Smm, false, true, true, 0x0A, {0x1C, 0x10, 0x15, 0x14}},
      {FfsKind::MmStandalone, false, true, true, 0x0E, {0x1C, 0x10, 0x15, 0x14}},
      {FfsKind::Application, false, false, true, 0x09, {0x10, 0x15, 0x14}},
      {FfsKind::Freeform, false, false, true, 0x02, {0x19, 0x15, 0x14}},
      {FfsKind::Freeform, false, false, false, 0x02, {0x19}},
      {FfsKind::Raw, false, false, false, 0x01, {}},
  };
  for (const Case &C : Cases) {
    FfsBuildInput In = DriverInput(C.Kind, 0x301);
    SCOPED_TRACE(std::string(KindInfo(C.Kind).Name) + (C.UseTe ? " TE" : ""));
    if (C.UseTe) {
      In.Pe = Te;
      In.Te = true;
    }
    if (C.Sections.empty() || C.Sections.front() == 0x19) {
      In.Pe.clear();
      In.Data = Blob;
    }
    if (!C.WithDepex) {
      In.Depex.clear();
    }
    if (!C.WithNames) {
      In.Ui.clear();
      In.Version.clear();
    }
    const Bytes F = BuildFfsFile(In);
    EXPECT_EQ(F[18], C.FileType);
    const File Parsed = ParseStandaloneFile(F);
    EXPECT_EQ(Parsed.Type, C.FileType);
    EXPECT_EQ(Parsed.Name, In.Name);
    std::vector<uint8_t> Types;
    for (const Section &S : Parsed.Sections) {
      Types.push_back(S.Type);
    }
    EXPECT_EQ(Types, C.Sections);
    if (C.Sections.empty()) {
      EXPECT_EQ(Bytes(F.begin() + 24, F.end()), Blob);
    } else {
      const Section &Body = Parsed.Sections[C.WithDepex ? 1 : 0];
      EXPECT_EQ(Bytes(F.begin() + static_cast<long>(Body.Offset + 4), F.begin() + static_cast<long>(Body.Offset + Body.Size)),
                C.UseTe ? Te : (In.Data.empty() ? In.Pe : Blob));
    }
    EXPECT_EQ(Parsed.UiName, C.WithNames ? "BoardSetupDxe" : "");
    // And inside a volume, as the editing commands read it.
    const Image Img = ParseImage(MakeVolume({G("F5B5F5B5-0000-4000-8000-00000000F5B5"), 0x1000, {F}}));
    EXPECT_EQ(Img.Volumes.at(0).Files.at(0).Type, C.FileType);
  }
}

TEST(FwImageFfs, EachTypeTakesOnlyWhatItHasAPlaceFor) {
  FfsBuildInput In = DriverInput(FfsKind::Driver, 0x200);
  In.Pe = TeImage(0x180, 0x2E, 0x8664);
  In.Te = true;
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("driver files take a PE32 image, not TE: only PEIMs run TE images"),
            std::string::npos);
  In.Kind = FfsKind::Peim;
  In.Pe[0] = 'X';
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("TE image has no TE header"), std::string::npos);
  In = DriverInput(FfsKind::Application, 0x200);
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("application files have no dependency expression"),
            std::string::npos);
  In = DriverInput(FfsKind::Raw, 0x200);
  In.Depex.clear();
  In.Data = {1, 2, 3};
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("raw files hold no sections: no UI name or version"),
            std::string::npos);
  // The command line's checks, before any file is read.
  EXPECT_EQ(FfsShapeError({FfsKind::Freeform, true, false, false, false, false}),
            "freeform files hold data, not an executable image");
  EXPECT_EQ(FfsShapeError({FfsKind::Peim, false, false, true, false, false}),
            "peim files hold an executable image (PE32 or TE), not data");
  EXPECT_EQ(FfsShapeError({FfsKind::MmStandalone, true, false, false, true, true}), std::nullopt);
}

TEST(FwImageFfs, BuilderRefusesInputsThatWouldNotDispatch) {
  FfsBuildInput In = DriverInput(FfsKind::Driver, 0x400);
  In.Pe[0] = 'X';
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("no MZ header"), std::string::npos);
  In = DriverInput(FfsKind::Driver, 0x400);
  Put(In.Pe, 0x40 + 24, 0x107, 2); // a ROM image
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("neither PE32+ nor PE32"), std::string::npos);
  In = DriverInput(FfsKind::Driver, 0x400);
  Put(In.Pe, 0x3C, 0xFFFFFF00, 4);
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("no PE signature"), std::string::npos);
  In = DriverInput(FfsKind::Driver, 0x400);
  In.Depex = {0x06, 0x06, 0x08};
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("leaves 2 values"), std::string::npos);
  In = DriverInput(FfsKind::Driver, 0x400);
  In.Ui = "Board\xC3\xA9";
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("not printable ASCII"), std::string::npos);
  In = DriverInput(FfsKind::Driver, 0x400);
  In.Ui.clear();
  EXPECT_NE(ReasonOf([&] { BuildFfsFile(In); }).find("UI name is empty"), std::string::npos);
}

TEST(FwImageFfs, StandaloneFileCheckCatchesEveryCorruption) {
  const Bytes Good = BuildFfsFile(DriverInput(FfsKind::Smm, 0x200));
  struct Case {
    const char *What;
    size_t Offset;
    uint8_t Xor;
    const char *Reason;
  };
  const Case Cases[] = {
      {"a flipped image bit", 0x100, 0x01, "bad data checksum"},
      {"a flipped name bit", 0, 0x80, "bad header checksum"},
      {"State 0xFC (data not valid)", 23, 0x04, "not a complete file"},
  };
  for (const Case &C : Cases) {
    Bytes Bad = Good;
    Bad[C.Offset] ^= C.Xor;
    EXPECT_NE(ReasonOf([&] { ParseStandaloneFile(Bad); }).find(C.Reason), std::string::npos) << C.What;
  }
  Bytes Cut(Good.begin(), Good.end() - 1);
  EXPECT_NE(ReasonOf([&] { ParseStandaloneFile(Cut); }).find("runs past the end"), std::string::npos);
  Bytes Longer = Good;
  Longer.resize(Good.size() + 8, 0xFF);
  EXPECT_NE(ReasonOf([&] { ParseStandaloneFile(Longer); }).find("the file has"), std::string::npos);
  EXPECT_NE(ReasonOf([] { ParseStandaloneFile(Bytes(10, 0)); }).find("shorter than a file header"),
            std::string::npos);
}

// Printable ASCII goes through; the bytes on either side of it, and past it,
// are written as escapes a JSON reader takes back.
TEST(FwImageJson, EscapesEveryByteOutsidePrintableAscii) {
  struct Case {
    std::string Text;
    const char *Written;
  };
  const Case Cases[] = {
      {"\x1F", "\"\\u001F\""},
      {" ", "\" \""},
      {"~", "\"~\""},
      {"\x7F", "\"\\u007F\""},
      {"\x80", "\"\\u0080\""},
      {"\xFF", "\"\\u00FF\""},
      {std::string(1, '\0'), "\"\\u0000\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
  };
  for (const Case &C : Cases) {
    std::ostringstream Out;
    Json J(Out);
    J.String(C.Text);
    EXPECT_EQ(Out.str(), C.Written) << "byte " << Hex(static_cast<unsigned char>(C.Text[0]));
  }
}

} // namespace
