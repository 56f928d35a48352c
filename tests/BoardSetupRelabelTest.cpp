// The Setup form relabeling, seen as the form sees it: what was hidden and
// written, in which order, with which texts.
#include <algorithm>

#include "BoardSetupFixture.h"
#include "BoardTables.h"
#include "SetupStringProtocol.h"

namespace {

using Op = Sim::SetupStringStore::Op;

constexpr UINT16 Row3Prompt = 0x26B0;
constexpr UINT16 Row3Help = 0x26B1;

class Relabel : public BoardBoot {
 protected:
  // Board with the PCD protocol; Tokens non-zero, all others zero.
  void Boot(std::initializer_list<UINTN> Tokens, bool Riser = false, UINT8 RiserFlag = 1) {
    for (UINTN T : Tokens) {
      P.Pcd.Set(T, 1);
    }
    if (Riser) {
      P.Hobs.AddRiser(RiserFlag);
    }
    P.PublishHobList();
    P.InstallPcdProtocol();
    LoadDriver();
    P.InstallSetupStringProtocol();
  }
  std::vector<Op> SetsOf(UINT16 Id) const {
    std::vector<Op> Out;
    for (const Op &O : P.SetupStrings.Sets()) {
      if (O.Id == Id) {
        Out.push_back(O);
      }
    }
    return Out;
  }
};

TEST_F(Relabel, ArrivalAfterEntryHidesThenWritesSlotsThenLabels) {
  Boot({660, 663});
  const auto &Ops = P.SetupStrings.Ops();
  ASSERT_EQ(Ops.size(), 21u + 4u + 54u);
  for (size_t I = 0; I < 21; ++I) {
    EXPECT_EQ(Ops[I].K, Op::Kind::Hide);
    EXPECT_EQ(Ops[I].Id, SetupHideList[I]);
  }
  const std::vector<std::pair<UINT16, std::string>> Slots = {
      {0x26AA, "PCH SLOT4 PCI-E 3.0 X2 (IN X4) OPROM"},
      {0x26AB, "PCH SLOT4 PCI-E 3.0 X2 (IN X4) option."},
      {Row3Prompt, "CPU SLOT7 PCI-E 5.0 X16 OPROM"},
      {Row3Help, "CPU SLOT7 PCI-E 5.0 X16 OPROM option."},
  };
  for (size_t I = 0; I < Slots.size(); ++I) {
    EXPECT_EQ(Ops[21 + I].K, Op::Kind::Set);
    EXPECT_EQ(Ops[21 + I].Id, Slots[I].first);
    EXPECT_EQ(Ops[21 + I].Text, Slots[I].second);
  }
  for (size_t I = 0; I < 54; ++I) {
    const Op &O = Ops[25 + I];
    EXPECT_EQ(O.K, Op::Kind::Set);
    EXPECT_EQ(O.Id, SetupLabelTable[I].StringId);
    EXPECT_EQ(O.Text, SetupLabelTable[I].Label);
  }
  for (const Op &O : Ops) {
    EXPECT_EQ(O.Form, "Setup");
  }
  // Spot checks against the board's own wording, spaces included.
  EXPECT_EQ(P.SetupStrings.Text(0x21DD), "  Peripheral Temperature");
  EXPECT_EQ(P.SetupStrings.Text(0x17C3), "PCH SLOT4 PCI-E 3.0 X2(IN X4)");
  EXPECT_EQ(P.SetupStrings.Text(0x23DA), "AMT SOL Legacy OS Redirection Resolution");
  EXPECT_EQ(P.SetupStrings.Text(0x15F7), "SLIMSAS Peer Memory Write Enable");
}

TEST_F(Relabel, EveryRowReadsItsPcdInTableOrder) {
  Boot({});
  const std::vector<UINTN> Expected = {660, 661, 662, 663, 664, 665, 666,
                                       667, 668, 655, 656, 657, 658, 659};
  EXPECT_EQ(P.Pcd.Reads(), Expected);
  EXPECT_EQ(P.SetupStrings.Ops().size(), 21u + 54u);
}

TEST_F(Relabel, RiserNamesTheCpuSlotOnlyWhenItsRowIsEnabled) {
  struct Case {
    bool Riser;
    UINT8 Flag;
    bool Token663;
    const char *Prompt;  // nullptr: row 3 untouched
    const char *Help;
  } Cases[] = {
      {true, 1, true, "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM",
       "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM option"},
      {true, 0x80, true, "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM",
       "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM option"},
      {true, 0, true, "CPU SLOT7 PCI-E 5.0 X16 OPROM", "CPU SLOT7 PCI-E 5.0 X16 OPROM option."},
      {false, 0, true, "CPU SLOT7 PCI-E 5.0 X16 OPROM", "CPU SLOT7 PCI-E 5.0 X16 OPROM option."},
      {true, 1, false, nullptr, nullptr},
  };
  for (const Case &C : Cases) {
    Sim::Platform Board;
    gBoardSetup = {};
    if (C.Token663) {
      Board.Pcd.Set(663, 1);
    }
    if (C.Riser) {
      Board.Hobs.AddRiser(C.Flag);
    }
    Board.PublishHobList();
    Board.InstallPcdProtocol();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    Board.InstallSetupStringProtocol();
    SCOPED_TRACE(testing::Message() << "riser " << C.Riser << " flag " << int{C.Flag}
                                    << " token 663 " << C.Token663);
    if (C.Prompt == nullptr) {
      EXPECT_FALSE(Board.SetupStrings.Written(Row3Prompt));
      EXPECT_FALSE(Board.SetupStrings.Written(Row3Help));
    } else {
      EXPECT_EQ(Board.SetupStrings.Text(Row3Prompt), C.Prompt);
      EXPECT_EQ(Board.SetupStrings.Text(Row3Help), C.Help);
    }
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(Relabel, RowsWithoutTextAreNeverWrittenAndTheirPromptsStayHidden) {
  Boot({666, 667, 668, 655, 656, 657, 658, 659});
  EXPECT_EQ(P.SetupStrings.Ops().size(), 21u + 54u);
  for (UINT16 Id : {0x26B6, 0x26B8, 0x26BA, 0x26BC, 0x26BE}) {
    EXPECT_TRUE(P.SetupStrings.Hidden(Id)) << std::hex << Id;
  }
  for (UINT16 Id = 0x26B6; Id <= 0x26C5; ++Id) {
    EXPECT_FALSE(P.SetupStrings.Written(Id)) << std::hex << Id;
  }
  for (UINT16 Id : {0x26C0, 0x26C2, 0x26C4}) {
    EXPECT_FALSE(P.SetupStrings.Hidden(Id)) << std::hex << Id;
  }
}

TEST_F(Relabel, AllSixSlotRowsWrittenInRowOrder) {
  Boot({660, 661, 662, 663, 664, 665});
  const auto Sets = P.SetupStrings.Sets();
  ASSERT_EQ(Sets.size(), 12u + 54u);
  for (size_t Row = 0; Row < 6; ++Row) {
    EXPECT_EQ(Sets[2 * Row].Id, OpromSlotTable[Row].PromptId);
    EXPECT_EQ(Sets[2 * Row + 1].Id, OpromSlotTable[Row].HelpId);
    EXPECT_EQ(Sets[2 * Row + 1].Id, Sets[2 * Row].Id + 1);
  }
}

TEST_F(Relabel, WithoutPcdProtocolHidesAndLabelsButNoSlotRows) {
  P.Pcd.Set(660, 1);
  P.PublishHobList();
  LoadDriver();
  P.InstallSetupStringProtocol();
  EXPECT_EQ(P.SetupStrings.Hides().size(), 21u);
  EXPECT_EQ(P.SetupStrings.Sets().size(), 54u);
  EXPECT_FALSE(P.SetupStrings.Written(0x26AA));
  EXPECT_TRUE(P.Pcd.Reads().empty());
}

TEST_F(Relabel, RunsOnceOnlyForAnArrivalAfterEntry) {
  // Installed before the driver loads: never runs.
  {
    Sim::Platform Board;
    gBoardSetup = {};
    Board.InstallPcdProtocol();
    Board.InstallSetupStringProtocol();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    EXPECT_TRUE(Board.SetupStrings.Ops().empty());
    Board.InstallSetupStringProtocol();  // a later second instance does trigger it
    EXPECT_EQ(Board.SetupStrings.Ops().size(), 21u + 54u);
  }
  // A second installation after the first run writes nothing more.
  gBoardSetup = {};
  Boot({660});
  const size_t After = P.SetupStrings.Ops().size();
  P.InstallSetupStringProtocol();
  EXPECT_EQ(P.SetupStrings.Ops().size(), After);
}

TEST_F(Relabel, StringProtocolNotLocatableChangesNothingAndDisarms) {
  P.InstallPcdProtocol();
  LoadDriver();
  P.Faults.NullResult("LocateProtocol", 0);
  P.InstallSetupStringProtocol();
  P.Faults.Clear();
  EXPECT_TRUE(P.SetupStrings.Ops().empty());
  P.InstallSetupStringProtocol();
  EXPECT_TRUE(P.SetupStrings.Ops().empty());
}

TEST_F(Relabel, FailingStringCallsDoNotStopTheSequence) {
  P.Faults.FailAll("HideString", EFI_DEVICE_ERROR);
  P.Faults.Fail("SetString", 1, EFI_OUT_OF_RESOURCES);
  Boot({660});
  EXPECT_EQ(P.Faults.Calls("HideString"), 21u);
  EXPECT_EQ(P.Faults.Calls("SetString"), 2u + 54u);
}

}  // namespace
