// fwimage as a command: each refusal is one line on stderr naming the file it
// is about and a non-zero exit, and leaves neither the output nor a temporary
// file behind; list's exit status tells whether the image has a fault.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "Ffs.h"
#include "FileIo.h"
#include "FwImageTestImages.h"

using namespace fwimage;
using namespace fwtest;
namespace fs = std::filesystem;

namespace {

class FwImageCli : public testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("fwimage-cli-" + std::to_string(getpid()) + "-" +
                                       testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Write("image.fd", DxeVolume(0x2000));
    FfsBuildInput In;
    In.Name = G("0D3C0B2A-1111-4A4A-8B8B-000000000001");
    In.Pe = Pe32Plus(0x200, 0x5A);
    In.Depex = {0x06, 0x08};
    In.Ui = "Driver";
    In.Version = "1.0";
    Write("driver.ffs", BuildFfsFile(In));
    Write("driver.efi", In.Pe);
    Write("true.depex", In.Depex);
  }
  void TearDown() override { fs::remove_all(Dir); }

  void Write(const std::string &Name, const Bytes &Data) {
    std::ofstream(Dir / Name, std::ios::binary).write(reinterpret_cast<const char *>(Data.data()),
                                                      static_cast<std::streamsize>(Data.size()));
  }

  // Runs fwimage in Dir; returns the exit status, stdout in Out, stderr in Err.
  int Run(const std::string &Args) {
    const std::string Command = "cd '" + Dir.string() + "' && '" FWIMAGE_EXE "' " + Args + " >stdout.txt 2>stderr.txt";
    const int Status = std::system(Command.c_str()); // NOLINT(cert-env33-c): the command under test, run as a user would
    std::ifstream In(Dir / "stderr.txt");
    Err.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    std::ifstream Stdout(Dir / "stdout.txt");
    Out.assign(std::istreambuf_iterator<char>(Stdout), std::istreambuf_iterator<char>());
    fs::remove(Dir / "stdout.txt");
    fs::remove(Dir / "stderr.txt");
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  std::set<std::string> Listing() const {
    std::set<std::string> Names;
    for (const auto &E : fs::directory_iterator(Dir)) {
      Names.insert(E.path().filename().string());
    }
    return Names;
  }

  fs::path Dir;
  std::string Out;
  std::string Err;
};

TEST_F(FwImageCli, EveryRefusalIsOneLineAndLeavesNothingBehind) {
  Write("garbage.fd", Bytes(0x1000, 0x5A));
  Bytes NotFfs(0x40, 0x12);
  Write("not.ffs", NotFfs);
  Bytes Tiny = DxeVolume(0x2000);
  Tiny.resize(0x1000); // the volume claims more than the file holds
  Write("truncated.fd", Tiny);
  // The new operations' bad inputs, on an AArch64-like image whose PEIM runs
  // in place and whose DXE volume sits, tight, in a compressed file.
  Write("xip.fd", XipImage(0x800));
  FfsBuildInput In;
  In.Name = G("0D3C0B2A-1111-4A4A-8B8B-0000000000A1");
  In.Pe = Pe32Plus(0x800, 0, 0xAA64);
  std::mt19937 Rng(5); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
  std::generate(In.Pe.begin() + 0x80, In.Pe.end(), [&] { return static_cast<uint8_t>(Rng()); });
  In.Depex = {0x06, 0x08};
  In.Ui = "Noise";
  In.Version = "1";
  Write("noise-aa64.ffs", BuildFfsFile(In));
  Write("peim-big.ffs", FfsFile(XipPeimFile, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}),
                                                                  MakeSection(0x12, TeImage(0x200, 0x77, 0xAA64))})));
  In.Kind = FfsKind::Smm;
  In.Name = SomeDriverFile;
  In.Pe = Pe32Plus(0x200, 1);
  Write("cpu-smm.ffs", BuildFfsFile(In));
  fs::create_directory(Dir / "a-directory");
  const std::set<std::string> Inputs = Listing();
  struct Case {
    const char *Args;
    const char *Reason;
  };
  const Case Cases[] = {
      {"depex --out out.bin TRUE TRUE", "leaves 2 values"},
      {"depex --out out.bin PUSH nope", "is not a GUID"},
      {"ffs --type driver --pe true.depex --depex true.depex --ui D --version 1 "
       "--guid 0D3C0B2A-1111-4A4A-8B8B-000000000009 --out out.bin",
       "no MZ header"},
      {"ffs --type driver --pe driver.efi --depex driver.efi --ui D --version 1 "
       "--guid 0D3C0B2A-1111-4A4A-8B8B-000000000009 --out out.bin",
       "unknown opcode"},
      {"insert garbage.fd --out out.bin driver.ffs", "garbage.fd: not a firmware image"},
      {"insert truncated.fd --out out.bin driver.ffs", "truncated.fd: truncated FV at 0x0"},
      {"insert image.fd --out out.bin driver.ffs not.ffs", "not.ffs: not an FFS file"},
      {"insert image.fd --out out.bin driver.ffs driver.ffs", "image.fd: duplicate file GUID"},
      {"insert image.fd --out no-such-dir/out.bin driver.ffs", "cannot create a temporary file in no-such-dir"},
      {"list garbage.fd", "garbage.fd: not a firmware image"},
      {"list a-directory", "cannot read a-directory: is a directory"},
      // A newline in a name is shown escaped: the refusal stays one line.
      {"list 'two\nlines.fd'", "cannot read two\\nlines.fd: No such file"},
      {"insert 'image.fd' --out out.bin 'new\nline.ffs'", "cannot read new\\nline.ffs"},
      {"insert image.fd --out out.bin noise-aa64.ffs",
       "image.fd: file 0D3C0B2A-1111-4A4A-8B8B-0000000000A1 holds an image for AArch64 (0xAA64); "
       "FV 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1 runs x64 (0x8664)"},
      {"insert xip.fd --out out.bin noise-aa64.ffs",
       "xip.fd: no room in FV 48DB5E17-707C-472D-91CD-1613E7EF51B0 after recompression: "},
      {"replace xip.fd --out out.bin peim-big.ffs",
       "xip.fd: file 2AD0FC59-2314-4BF3-8633-13FA22A624A0 executes in place at 0x"},
      {"replace image.fd --out out.bin driver.ffs",
       "image.fd: no file 0D3C0B2A-1111-4A4A-8B8B-000000000001 in this image"},
      {"replace image.fd --out out.bin not.ffs", "not.ffs: not an FFS file"},
      {"remove image.fd --out out.bin 0D3C0B2A-1111-4A4A-8B8B-000000000001", "image.fd: no file 0D3C0B2A"},
      {"extract garbage.fd 0D3C0B2A-1111-4A4A-8B8B-000000000001 --out out.bin", "garbage.fd: not a firmware image"},
      {"replace image.fd --out out.bin cpu-smm.ffs", "image.fd: file 1A1E4886-9517-440E-9FDE-3BE44CEE2136 is"},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(Run(C.Args), 1) << C.Args;
    EXPECT_NE(Err.find(C.Reason), std::string::npos) << C.Args << " said: " << Err;
    EXPECT_EQ(std::count(Err.begin(), Err.end(), '\n'), 1) << C.Args << " said: " << Err;
    EXPECT_EQ(Listing(), Inputs) << C.Args;
  }
  EXPECT_EQ(Run("insert image.fd driver.ffs"), 2);
  EXPECT_NE(Err.find("missing --out"), std::string::npos);
  EXPECT_EQ(Run("ffs --type pei --out x"), 2);
  EXPECT_NE(Err.find("--type must be peim|driver|smm|mm-standalone|application|freeform|raw, not pei"),
            std::string::npos)
      << Err;
  // What a type has no place for is a usage error, found before any file is read.
  const std::string Guid = " --guid 0D3C0B2A-1111-4A4A-8B8B-000000000009 --out out.bin";
  for (const char *Args : {"ffs --type driver --te no.te --ui D --version 1", "ffs --type raw --data no.bin --ui D",
                           "ffs --type application --pe no.efi --depex no.depex --ui D --version 1",
                           "ffs --type freeform --pe no.efi", "ffs --type peim --pe no.efi --te no.te"}) {
    EXPECT_EQ(Run(Args + Guid), 2) << Args;
    EXPECT_EQ(Err.find("cannot read"), std::string::npos) << Args << ": " << Err;
  }
  EXPECT_EQ(Run("insert image.fd --out out.bin --preset 12 driver.ffs"), 2);
  EXPECT_NE(Err.find("--preset must be 0 to 9"), std::string::npos);
  EXPECT_EQ(Run("'sub\ncommand'"), 2);
  EXPECT_EQ(Err, "fwimage: unknown command sub\\ncommand (fwimage --help lists the commands)\n");
  EXPECT_EQ(Listing(), Inputs);
}

// The README's usage block is the --help text, both from the command table.
TEST_F(FwImageCli, ReadmeUsageIsTheHelpText) {
  ASSERT_EQ(Run("--help"), 0);
  std::ifstream Readme(FWIMAGE_SOURCE_DIR "/tools/fwimage/README.md");
  std::stringstream Text;
  Text << Readme.rdbuf();
  const std::string Doc = Text.str();
  const size_t Begin = Doc.find("```\n");
  const size_t End = Doc.find("```\n", Begin + 1);
  ASSERT_NE(End, std::string::npos);
  std::string Help; // without the "usage: " column
  std::istringstream Lines(Out);
  for (std::string Line; std::getline(Lines, Line);) {
    Help += Line.substr(std::string("usage: ").size()) + "\n";
  }
  EXPECT_EQ(Doc.substr(Begin + 4, End - Begin - 4), Help);
}

TEST_F(FwImageCli, HelpVersionAndListsExitStatus) {
  for (const char *Help : {"--help", "-h"}) {
    EXPECT_EQ(Run(Help), 0) << Help;
    EXPECT_EQ(Out.rfind("usage: fwimage depex", 0), 0u) << Out;
    for (const char *Command :
         {"insert IMAGE", "replace IMAGE", "remove IMAGE", "extract IMAGE", "list [--json] IMAGE"}) {
      EXPECT_NE(Out.find(std::string("fwimage ") + Command), std::string::npos) << Out;
    }
    EXPECT_EQ(Err, "");
  }
  EXPECT_EQ(Run("--version"), 0);
  EXPECT_EQ(Out, "fwimage " KIT_VERSION "\n");

  EXPECT_EQ(Run("list image.fd"), 0) << Err;
  EXPECT_EQ(Out.find("FAULT"), std::string::npos);
  EXPECT_EQ(Run("list --json image.fd"), 0) << Err;
  EXPECT_EQ(Out.rfind("{\"size\":8192,\"descriptor\":false,", 0), 0u) << Out;

  Write("damaged.fd", MakeDamagedImage().Image);
  EXPECT_EQ(Run("list damaged.fd"), 1);
  EXPECT_NE(Out.find("file " + Good3.ToString()), std::string::npos) << "the rest is still listed: " << Out;
  EXPECT_EQ(Err, "fwimage: damaged.fd: 6 fault(s), each marked FAULT on its line\n");
  EXPECT_EQ(Run("list --json damaged.fd"), 1);
  EXPECT_NE(Out.find("\"faultCount\":6}"), std::string::npos);
  // A volume whose signature is damaged is not silently gone.
  Bytes Unsigned = DxeVolume(0x2000);
  Append(Unsigned, DxeVolume(0x1000));
  Unsigned[0x2000 + 40] = 0;
  Write("unsigned.fd", Unsigned);
  EXPECT_EQ(Run("list unsigned.fd"), 1);
  EXPECT_NE(Out.find("\nFAULT: 0x1000 bytes at 0x2000 are neither erased nor in a firmware volume"), std::string::npos)
      << Out;
  EXPECT_EQ(Err, "fwimage: unsigned.fd: 1 fault(s), each marked FAULT on its line\n");
  // The editing commands stay strict.
  EXPECT_EQ(Run("insert damaged.fd --out out.bin driver.ffs"), 1);
  EXPECT_NE(Err.find("damaged.fd: file BAD00002"), std::string::npos) << Err;
  EXPECT_FALSE(fs::exists(Dir / "out.bin"));
}

TEST_F(FwImageCli, WritesOutputsThatReadBack) {
  ASSERT_EQ(Run("depex --out t.depex TRUE"), 0) << Err;
  ASSERT_EQ(Run("ffs --type smm --pe driver.efi --depex t.depex --ui Driver --version 1.0 "
                "--guid {0D3C0B2A-1111-4A4A-8B8B-000000000001} --out d.ffs"),
            0)
      << Err;
  ASSERT_EQ(Run("insert image.fd --out new.fd d.ffs"), 0) << Err;
  // A re-packed PEIM's TE image and a raw file read back as built.
  Write("p.te", TeImage(0x100, 0x2E, 0x8664));
  ASSERT_EQ(Run("ffs --type peim --te p.te --ui P --version 2 --guid 0D3C0B2A-1111-4A4A-8B8B-000000000002 --out p.ffs"),
            0)
      << Err;
  ASSERT_EQ(Run("ffs --type raw --data t.depex --guid 0D3C0B2A-1111-4A4A-8B8B-000000000003 --out r.ffs"), 0) << Err;
  ASSERT_EQ(Run("insert image.fd --out pr.fd p.ffs r.ffs"), 0) << Err;
  ASSERT_EQ(Run("extract pr.fd 0D3C0B2A-1111-4A4A-8B8B-000000000002 --section te --out p2.te"), 0) << Err;
  EXPECT_EQ(ReadFile((Dir / "p2.te").string()), TeImage(0x100, 0x2E, 0x8664));
  EXPECT_EQ(fs::file_size(Dir / "new.fd"), fs::file_size(Dir / "image.fd"));
  EXPECT_EQ(Run("list new.fd"), 0) << Err;
  // What extract writes goes back in with replace; remove takes it out again.
  ASSERT_EQ(Run("extract new.fd 0D3C0B2A-1111-4A4A-8B8B-000000000001 --out x.ffs"), 0) << Err;
  ASSERT_EQ(Run("replace new.fd --out same.fd --json x.ffs"), 0) << Err;
  // The same bytes back in their own slot: one plain volume, nothing moved or grown.
  EXPECT_EQ(Out.rfind("{\"command\":\"replace\",\"files\":1,\"volumes\":[{\"name\":\"", 0), 0u) << Out;
  EXPECT_NE(Out.find("\"depth\":0,"), std::string::npos) << Out;
  EXPECT_NE(Out.find("\"grownBy\":0,\"filesMoved\":0}],\"recompressed\":0,\"strongest\":0,\"filesMoved\":0,"
                     "\"moves\":[],\"seconds\":"),
            std::string::npos)
      << Out;
  EXPECT_EQ(Out.back(), '\n');
  EXPECT_EQ(Out.find('\n'), Out.size() - 1) << "one line of JSON, nothing else";
  ASSERT_EQ(Run("remove same.fd --out gone.fd 0D3C0B2A-1111-4A4A-8B8B-000000000001"), 0) << Err;
  EXPECT_EQ(Run("extract gone.fd 0D3C0B2A-1111-4A4A-8B8B-000000000001 --section pe32 --out y.efi"), 1);
  EXPECT_EQ(Run("extract new.fd 0D3C0B2A-1111-4A4A-8B8B-000000000001 --section pe33 --out y.efi"), 2);
  const std::set<std::string> Expected = {"image.fd", "driver.ffs", "driver.efi", "true.depex", "t.depex", "d.ffs",
                                          "new.fd",   "x.ffs",      "same.fd",    "gone.fd",    "p.te",    "p.ffs",
                                          "r.ffs",    "pr.fd",      "p2.te"};
  EXPECT_EQ(Listing(), Expected);
  EXPECT_EQ((fs::status(Dir / "new.fd").permissions() & fs::perms::others_read), fs::perms::others_read)
      << "the output gets a plain file's mode, not the temporary's private one";
}

// A bad descriptor: list marks it and exits 1; every edit refuses in one line
// and writes nothing. Every edit reads the descriptor the same way: the first
// case runs them all, the others insert.
TEST_F(FwImageCli, BadDescriptorsFaultTheListingAndEveryEditRefuses) {
  struct Case {
    const char *Name;
    std::vector<RegionLayout> Regions;
    uint32_t Flcomp; // two chips
    const char *Reason;
  };
  const Case Cases[] = {
      {"overlap.fd", {{0, 0, 0x1000}, {1, 0x10000, 0x10000}, {2, 0x1000, 0x10000}},
       0, "ME region 0x1000-0x10FFF overlaps the BIOS region"},
      {"past-flash.fd", {{0, 0, 0x1000}, {1, 0x10000, 0x100000}}, 0,
       "BIOS region 0x10000-0x10FFFF runs past the end of the flash (0x100000 bytes)"},
      {"density.fd", {{0, 0, 0x1000}, {1, 0x10000, 0x10000}}, 0x000C00E4,
       "flash descriptor: component 2 density code 0xE"},
      {"no-room.fd", {{0, 0, 0x1000}, {2, 0x1000, 0xFF000}, {1, 0, 0x100000}}, 0,
       "BIOS region 0x0-0xFFFFF spans the whole flash, and the ME region leaves none of it at the top"},
  };
  for (const Case &C : Cases) {
    Bytes Img = MakeFlashImage(0x20000, C.Regions);
    SetFlashChips(Img, 2, C.Flcomp);
    CopyInto(Img, 0x10000, DxeVolume(0x2000));
    Write(C.Name, Img);
  }
  const std::set<std::string> Inputs = Listing();
  for (const Case &C : Cases) {
    const std::string Image = C.Name;
    EXPECT_EQ(Run("list " + Image), 1) << Image;
    EXPECT_NE(Out.find(std::string("FAULT: ") + C.Reason), std::string::npos) << Out;
    std::vector<std::string> Edits = {"insert " + Image + " --out out.bin driver.ffs"};
    if (&C == &Cases[0]) {
      Edits.insert(Edits.end(), {"replace " + Image + " --out out.bin driver.ffs",
                                 "remove " + Image + " --out out.bin " + SomeDriverFile.ToString(),
                                 "extract " + Image + " " + SomeDriverFile.ToString() + " --out out.bin"});
    }
    for (const std::string &Edit : Edits) {
      EXPECT_EQ(Run(Edit), 1) << Edit;
      EXPECT_EQ(Err.rfind("fwimage: " + Image + ": " + C.Reason, 0), 0u) << Edit << " said: " << Err;
      EXPECT_EQ(std::count(Err.begin(), Err.end(), '\n'), 1) << Edit << " said: " << Err;
      EXPECT_EQ(Listing(), Inputs) << Edit;
    }
  }
}

} // namespace
