// Expander presence labels: the byte the SMBus expander at 0x38 reports,
// shown on the Setup form, whatever order its two protocols arrive in.
#include <algorithm>

#include "BoardSetupFixture.h"
#include "Expectations/BoardExpectations.h"
#include "Uefi/Smbus.h"

namespace {

constexpr auto ExpanderAddress = static_cast<UINT8>(Expect::ExpanderAddress);
constexpr UINT8 InputRegister = 0;
const std::string High = Expect::ExpanderHigh;
const std::string Low = Expect::ExpanderLow;

class Expander : public BoardBoot {
 protected:
  void FitExpander(UINT8 Inputs) {
    P.Smbus.AddDevice(ExpanderAddress);
    P.Smbus.SetRegister(ExpanderAddress, InputRegister, Inputs);
  }
  // The expander's labels in the order they were written.
  std::vector<Sim::SetupStringStore::Op> LabelWrites() const {
    std::vector<Sim::SetupStringStore::Op> Out;
    for (const auto &O : P.SetupStrings.Sets()) {
      if (Expect::IsExpanderLabel(O.Id)) {
        Out.push_back(O);
      }
    }
    return Out;
  }
  std::vector<std::string> Labels() const {
    std::vector<std::string> Out;
    for (UINT16 Id : Expect::ExpanderLabels) {
      Out.push_back(P.SetupStrings.Written(Id) ? P.SetupStrings.Text(Id) : "(form text)");
    }
    return Out;
  }
  size_t OpenExpanderEvents() const {
    return std::count_if(P.Boot.Events().begin(), P.Boot.Events().end(), [](const auto &E) {
      return E->Notify == ExpanderPresenceCallback && !E->Closed;
    });
  }
};

struct ByteCase {
  UINT8 Inputs;
  std::vector<std::string> Expected;  // bit 0 (0x27BE) first
};

class ExpanderBytes : public Expander, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(ExpanderBytes, EachBitNamesItsInput) {
  FitExpander(GetParam().Inputs);
  LoadDriver();
  P.InstallSmbusProtocol();
  P.InstallSetupStringProtocol();
  EXPECT_EQ(Labels(), GetParam().Expected);
  const auto Writes = LabelWrites();
  ASSERT_EQ(Writes.size(), 8u);
  for (size_t Bit = 0; Bit < 8; ++Bit) {
    EXPECT_EQ(Writes[Bit].Id, Expect::ExpanderLabels[Bit]) << "written from bit 0 up";
    EXPECT_EQ(Writes[Bit].Form, "Setup");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ExpanderBytes,
    ::testing::Values(ByteCase{0xFF, {High, High, High, High, High, High, High, High}},
                      ByteCase{0x00, {Low, Low, Low, Low, Low, Low, Low, Low}},
                      ByteCase{0x01, {High, Low, Low, Low, Low, Low, Low, Low}},
                      ByteCase{0x80, {Low, Low, Low, Low, Low, Low, Low, High}},
                      ByteCase{0xA5, {High, Low, High, Low, Low, High, Low, High}}));

TEST_F(Expander, ReadsOneByteFromTheInputRegisterWithoutPec) {
  FitExpander(0x5A);
  LoadDriver();
  P.InstallSmbusProtocol();
  P.InstallSetupStringProtocol();
  ASSERT_EQ(P.Smbus.Calls().size(), 1u);
  const auto &C = P.Smbus.Calls()[0];
  EXPECT_EQ(C.RawAddress, ExpanderAddress) << "the reserved address bits are zero";
  EXPECT_EQ(C.Command, InputRegister);
  EXPECT_EQ(C.Operation, EfiSmbusReadByte);
  EXPECT_EQ(C.PecCheck, FALSE);
  EXPECT_TRUE(C.HasLength && C.HasBuffer);
  EXPECT_EQ(C.LengthIn, 1u);
  EXPECT_EQ(C.BufferIn, 0u);
  EXPECT_EQ(OpenExpanderEvents(), 0u);
}

TEST_F(Expander, NoByteReadMeansNoLabelWritten) {
  // Two ways the read fails: the controller reports an error, the device
  // never acknowledges.
  for (const bool Silent : {false, true}) {
    SCOPED_TRACE(Silent ? "device silent" : "Execute fails");
    Sim::Platform Board;
    gBoardSetup = {};
    if (Silent) {
      Board.Smbus.AddSilentDevice(ExpanderAddress);
    } else {
      Board.Smbus.AddDevice(ExpanderAddress);
      Board.Faults.FailAll("SmbusExecute", EFI_TIMEOUT);
    }
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    Board.InstallSmbusProtocol();
    Board.InstallSetupStringProtocol();
    EXPECT_EQ(Board.Smbus.Calls().size(), 1u) << "no retry";
    for (UINT16 Id : Expect::ExpanderLabels) {
      EXPECT_FALSE(Board.SetupStrings.Written(Id)) << std::hex << Id;
    }
    EXPECT_EQ(Board.SetupStrings.Sets().size(), Expect::LabelCount)
        << "the relabel callback is not affected";
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(Expander, WorkIsDoneAtTheLaterArrivalInEitherOrder) {
  for (const bool SmbusFirst : {true, false}) {
    SCOPED_TRACE(SmbusFirst ? "SMBus first" : "Setup strings first");
    Sim::Platform Board;
    gBoardSetup = {};
    Board.Smbus.AddDevice(ExpanderAddress);
    Board.Smbus.SetRegister(ExpanderAddress, InputRegister, 0x01);
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    if (SmbusFirst) {
      Board.InstallSmbusProtocol();
    } else {
      Board.InstallSetupStringProtocol();
    }
    EXPECT_TRUE(Board.Smbus.Calls().empty()) << "the first run finds one protocol missing";
    EXPECT_FALSE(Board.SetupStrings.Written(0x27BE));
    if (SmbusFirst) {
      Board.InstallSetupStringProtocol();
    } else {
      Board.InstallSmbusProtocol();
    }
    EXPECT_EQ(Board.Smbus.Calls().size(), 1u);
    EXPECT_EQ(Board.SetupStrings.Text(0x27BE), High);
    EXPECT_EQ(Board.SetupStrings.Text(0x27C5), Low);
    // Both events closed: a further arrival runs nothing.
    Board.InstallSmbusProtocol();
    Board.InstallSetupStringProtocol();
    EXPECT_EQ(Board.Smbus.Calls().size(), 1u);
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(Expander, OneProtocolPresentBeforeEntry) {
  for (const bool SmbusEarly : {true, false}) {
    SCOPED_TRACE(SmbusEarly ? "SMBus before entry" : "Setup strings before entry");
    Sim::Platform Board;
    gBoardSetup = {};
    Board.Smbus.AddDevice(ExpanderAddress);
    Board.Smbus.SetRegister(ExpanderAddress, InputRegister, 0x80);
    if (SmbusEarly) {
      Board.InstallSmbusProtocol();
    } else {
      Board.InstallSetupStringProtocol();
    }
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    if (SmbusEarly) {
      Board.InstallSetupStringProtocol();
    } else {
      Board.InstallSmbusProtocol();
    }
    EXPECT_EQ(Board.Smbus.Calls().size(), 1u);
    EXPECT_EQ(Board.SetupStrings.Text(0x27C5), High);
    EXPECT_EQ(Board.SetupStrings.Text(0x27BE), Low);
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(Expander, BothArrivingWhileHeldBackRunTwice) {
  FitExpander(0xA5);
  LoadDriver();
  const EFI_TPL Old = P.Hold();
  P.InstallSmbusProtocol();
  P.InstallSetupStringProtocol();
  EXPECT_TRUE(P.Smbus.Calls().empty()) << "held back";
  P.Release(Old);
  EXPECT_EQ(P.Smbus.Calls().size(), 2u) << "each run reads the device";
  EXPECT_EQ(LabelWrites().size(), 16u) << "and writes all eight labels";
  EXPECT_EQ(Labels(), (std::vector<std::string>{High, Low, High, Low, Low, High, Low, High}));
  EXPECT_EQ(OpenExpanderEvents(), 0u);
}

TEST_F(Expander, BothPresentBeforeEntryNeverRuns) {
  FitExpander(0xFF);
  P.InstallSmbusProtocol();
  P.InstallSetupStringProtocol();
  LoadDriver();
  EXPECT_TRUE(P.Smbus.Calls().empty());
  EXPECT_TRUE(LabelWrites().empty());
  EXPECT_EQ(OpenExpanderEvents(), 2u) << "armed, never signalled";
}

TEST_F(Expander, AMissingInterfaceEndsTheRunBeforeTheRead) {
  // Setup strings on the board before entry: the relabel callback never
  // runs, so the expander run makes the first two lookups of the boot
  // (SMBus, then strings).
  for (const unsigned Lookup : {1u, 2u}) {
    for (const bool NullInterface : {false, true}) {
      SCOPED_TRACE(std::to_string(Lookup) + (NullInterface ? " NULL interface" : " error"));
      Sim::Platform Board;
      gBoardSetup = {};
      Board.Smbus.AddDevice(ExpanderAddress);
      Board.InstallSetupStringProtocol();
      ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
      if (NullInterface) {
        Board.Faults.NullResult("LocateProtocol", Lookup);
      } else {
        Board.Faults.Fail("LocateProtocol", Lookup, EFI_NOT_FOUND);
      }
      Board.InstallSmbusProtocol();
      EXPECT_EQ(Board.Faults.Calls("LocateProtocol"), Lookup) << "the run ends at the failed lookup";
      EXPECT_TRUE(Board.Smbus.Calls().empty());
      EXPECT_TRUE(Board.SetupStrings.Sets().empty());
      EXPECT_TRUE(Board.Errors().empty());
    }
  }
}

TEST_F(Expander, AFailingLabelDoesNotStopTheOthers) {
  FitExpander(0x00);
  P.InstallSetupStringProtocol();  // relabel never runs: every SetString is the expander's
  LoadDriver();
  P.Faults.Fail("SetString", 3, EFI_DEVICE_ERROR);
  P.InstallSmbusProtocol();
  EXPECT_EQ(P.Faults.Calls("SetString"), 8u);
  EXPECT_EQ(LabelWrites().size(), 7u);
  EXPECT_FALSE(P.SetupStrings.Written(Expect::ExpanderLabels[2]));
}

}  // namespace
