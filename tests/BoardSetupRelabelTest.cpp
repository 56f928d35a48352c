// The Setup form relabeling, seen as the form sees it: what was hidden and
// written, in which order, with which texts. The board's identifiers and
// texts come from the expectations, written out apart from the driver.
#include <algorithm>
#include <set>

#include "BoardSetupFixture.h"
#include "Expectations/BoardExpectations.h"

namespace {

using Op = Sim::SetupStringStore::Op;

const Expect::OpromRow &Row3 = Expect::Oprom[Expect::RiserRow];

// Board with the PCD protocol; Tokens non-zero, all others zero.
void BootBoard(Sim::Platform &Board, const std::set<UINTN> &Tokens, bool Riser = false,
               UINT8 RiserFlag = 1) {
  gBoardSetup = {};
  for (UINTN T : Tokens) {
    Board.Pcd.Set(T, 1);
  }
  if (Riser) {
    Board.Hobs.AddRiser(RiserFlag);
  }
  Board.PublishHobList();
  Board.InstallPcdProtocol();
  ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
  Board.InstallSetupStringProtocol();
}

class Relabel : public BoardBoot {
 protected:
  void Boot(const std::set<UINTN> &Tokens, bool Riser = false) { BootBoard(P, Tokens, Riser); }
};

struct WantOp {
  Op::Kind K;
  UINT16 Id;
  std::string Text;
};

// The whole run the board wants for these enabled tokens: every hide, the
// option-ROM pairs of enabled rows that have texts, then every label.
std::vector<WantOp> Expected(const std::set<UINTN> &Tokens, bool Riser) {
  std::vector<WantOp> W;
  for (UINT16 Id : Expect::Hidden) {
    W.push_back({Op::Kind::Hide, Id, ""});
  }
  for (UINTN Row = 0; Row < Expect::OpromRows; ++Row) {
    const Expect::OpromRow &R = Expect::Oprom[Row];
    if (Tokens.count(R.Token) == 0 || R.Prompt == nullptr) {
      continue;
    }
    const bool RiserText = Riser && Row == Expect::RiserRow;
    W.push_back({Op::Kind::Set, R.PromptId, RiserText ? Expect::RiserPrompt : R.Prompt});
    W.push_back({Op::Kind::Set, R.HelpId, RiserText ? Expect::RiserHelp : R.Help});
  }
  for (const Expect::Label &L : Expect::Labels) {
    W.push_back({Op::Kind::Set, L.Id, L.Text});
  }
  return W;
}

void ExpectRun(const std::vector<Op> &Ops, const std::vector<WantOp> &Want) {
  ASSERT_EQ(Ops.size(), Want.size());
  for (size_t I = 0; I < Want.size(); ++I) {
    SCOPED_TRACE(testing::Message() << "operation " << I << ", want id 0x" << std::hex
                                    << Want[I].Id);
    EXPECT_EQ(Ops[I].K, Want[I].K);
    EXPECT_EQ(Ops[I].Id, Want[I].Id);
    EXPECT_EQ(Ops[I].Text, Want[I].Text);
    EXPECT_EQ(Ops[I].Form, Expect::FormName);
  }
}

std::set<UINTN> AllTokens() {
  std::set<UINTN> T;
  for (const Expect::OpromRow &R : Expect::Oprom) {
    T.insert(R.Token);
  }
  return T;
}

TEST_F(Relabel, HidesThenWritesEnabledSlotsThenLabelsExactlyAsTheBoardSays) {
  struct Case {
    const char *Name;
    std::set<UINTN> Tokens;
    bool Riser;
  } Cases[] = {
      {"no slot enabled", {}, false},
      {"rows 0 and 3", {660, 663}, false},
      {"every token", AllTokens(), false},
      {"every token, riser fitted", AllTokens(), true},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Sim::Platform Board;
    BootBoard(Board, C.Tokens, C.Riser);
    ExpectRun(Board.SetupStrings.Ops(), Expected(C.Tokens, C.Riser));
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(Relabel, EveryRowReadsItsPcdInTableOrder) {
  Boot({});
  std::vector<UINTN> Tokens;
  for (const Expect::OpromRow &R : Expect::Oprom) {
    Tokens.push_back(R.Token);
  }
  EXPECT_EQ(P.Pcd.Reads(), Tokens);
}

TEST_F(Relabel, EachTokenEnablesOnlyItsOwnRow) {
  for (const Expect::OpromRow &R : Expect::Oprom) {
    SCOPED_TRACE(testing::Message() << "token " << R.Token);
    Sim::Platform Board;
    BootBoard(Board, {R.Token});
    ExpectRun(Board.SetupStrings.Ops(), Expected({R.Token}, false));
  }
}

TEST_F(Relabel, RiserNamesTheCpuSlotOnlyWhenItsRowIsEnabled) {
  struct Case {
    bool Riser;
    UINT8 Flag;
    bool Token;
    const char *Prompt;  // nullptr: row 3 untouched
    const char *Help;
  } Cases[] = {
      {true, 1, true, Expect::RiserPrompt, Expect::RiserHelp},
      {true, 0x80, true, Expect::RiserPrompt, Expect::RiserHelp},
      {true, 0, true, Row3.Prompt, Row3.Help},
      {false, 0, true, Row3.Prompt, Row3.Help},
      {true, 1, false, nullptr, nullptr},
  };
  for (const Case &C : Cases) {
    Sim::Platform Board;
    BootBoard(Board, C.Token ? std::set<UINTN>{Row3.Token} : std::set<UINTN>{}, C.Riser, C.Flag);
    SCOPED_TRACE(testing::Message() << "riser " << C.Riser << " flag " << int{C.Flag}
                                    << " token " << C.Token);
    if (C.Prompt == nullptr) {
      EXPECT_FALSE(Board.SetupStrings.Written(Row3.PromptId));
      EXPECT_FALSE(Board.SetupStrings.Written(Row3.HelpId));
    } else {
      EXPECT_EQ(Board.SetupStrings.Text(Row3.PromptId), C.Prompt);
      EXPECT_EQ(Board.SetupStrings.Text(Row3.HelpId), C.Help);
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
