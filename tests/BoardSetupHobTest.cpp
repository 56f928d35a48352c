// The riser flag as the pre-EFI phase leaves it in the HOB list, including
// lists that are damaged or not there at all.
#include "BoardSetupFixture.h"
#include "BoardTriggers.h"

namespace {

constexpr EFI_GUID OtherGuid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

class Riser : public BoardBoot {
 protected:
  void SetUp() override {
    BoardBoot::SetUp();
    LoadDriver();
  }
};

TEST_F(Riser, FlagDecidesAndOnlyTheFirstHobCounts) {
  struct Case {
    const char *Name;
    std::vector<int> Flags;  // riser HOBs in list order
    bool Fitted;
  } Cases[] = {
      {"no riser HOB", {}, false},
      {"flag 0", {0}, false},
      {"flag 1", {1}, true},
      {"flag 0xFF", {0xFF}, true},
      {"first 0, second 1", {0, 1}, false},
      {"first 1, second 0", {1, 0}, true},
  };
  for (const Case &C : Cases) {
    Sim::Platform Board;
    gBoardSetup = {};
    Board.Hobs.AddGuidHob(OtherGuid, {1, 1, 1});
    for (int F : C.Flags) {
      Board.Hobs.AddRiser(static_cast<UINT8>(F));
    }
    Board.PublishHobList();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    EXPECT_EQ(RiserFitted(), C.Fitted ? TRUE : FALSE) << C.Name;
  }
}

TEST_F(Riser, NoHobListMeansNoRiserAndALaterListIsFound) {
  EXPECT_EQ(GetHobList(), nullptr);
  EXPECT_EQ(RiserFitted(), FALSE);
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  EXPECT_NE(GetHobList(), nullptr);
  EXPECT_EQ(RiserFitted(), TRUE);
}

TEST_F(Riser, HobListIsFoundAmongOtherConfigurationTables) {
  int Dummy = 0;
  P.Boot.InstallConfigurationTable(&OtherGuid, &Dummy);
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  EXPECT_EQ(FindGuidHob(&OtherGuid), nullptr);
  ASSERT_NE(FindGuidHob(&RiserCardHobGuid), nullptr);
  EXPECT_EQ(FindGuidHob(&RiserCardHobGuid)->Header.HobType, EFI_HOB_TYPE_GUID_EXTENSION);
}

TEST_F(Riser, ATableWithoutTheHobListIsSearchedOnlyUpToItsCount) {
  // A list withdrawn from the table leaves its old slot behind the count.
  int Dummy = 0;
  P.Boot.InstallConfigurationTable(&OtherGuid, &Dummy);
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  ASSERT_EQ(P.Boot.InstallConfigurationTable(&EFI_HOB_LIST_GUID, nullptr), EFI_SUCCESS);
  ASSERT_EQ(P.SystemTable()->NumberOfTableEntries, 1u);
  EXPECT_EQ(GetHobList(), nullptr);
  EXPECT_EQ(RiserFitted(), FALSE);
  P.PublishHobList();
  EXPECT_EQ(RiserFitted(), TRUE) << "the miss was not cached";
}

TEST_F(Riser, AGuidHobShorterThanItsHeaderNamesNothing) {
  // Its name would run on into the next HOB's header; this name is chosen
  // so that the overlap spells it, with the real HOB of that name next.
  constexpr EFI_GUID Spelled = {0x5A5A5A5A, 0x1111, 0x2222, {0x04, 0x00, 0x20, 0x00, 0, 0, 0, 0}};
  const auto *Name = reinterpret_cast<const UINT8 *>(&Spelled);
  P.Hobs.AddRaw(EFI_HOB_TYPE_GUID_EXTENSION, 16, {Name, Name + 8});
  P.Hobs.AddGuidHob(Spelled, {0x77});
  P.PublishHobList();
  const EFI_HOB_GUID_TYPE *Hob = FindGuidHob(&Spelled);
  ASSERT_NE(Hob, nullptr);
  EXPECT_EQ(Hob->Header.HobLength, 32u);
  EXPECT_EQ(reinterpret_cast<const UINT8 *>(Hob)[sizeof(EFI_HOB_GUID_TYPE)], 0x77);
}

TEST_F(Riser, DamagedListsEndTheWalkInsteadOfLoopingOrOverrunning) {
  // Lengths below the 8-byte header (0 would never advance) or off the
  // 8-byte grid end the list; a GUID HOB with no data byte is no riser.
  struct Case {
    const char *Name;
    UINT16 Type;
    UINT16 Length;
  } Cases[] = {
      {"zero length", EFI_HOB_TYPE_HANDOFF, 0},
      {"length 4", EFI_HOB_TYPE_HANDOFF, 4},
      {"length 7", EFI_HOB_TYPE_GUID_EXTENSION, 7},
      {"length 30, off the 8-byte grid", EFI_HOB_TYPE_HANDOFF, 30},
  };
  for (const Case &C : Cases) {
    Sim::Platform Board;
    gBoardSetup = {};
    Board.Hobs.AddRaw(C.Type, C.Length);
    Board.Hobs.AddRiser(1);  // beyond the damage: never reached
    Board.PublishHobList();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    EXPECT_EQ(RiserFitted(), FALSE) << C.Name;
  }
  Sim::Platform Board;
  gBoardSetup = {};
  std::vector<UINT8> NameOnly(reinterpret_cast<const UINT8 *>(&RiserCardHobGuid),
                              reinterpret_cast<const UINT8 *>(&RiserCardHobGuid) + 16);
  Board.Hobs.AddRaw(EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE), NameOnly);
  Board.PublishHobList();
  ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
  EXPECT_NE(FindGuidHob(&RiserCardHobGuid), nullptr);
  EXPECT_EQ(RiserFitted(), FALSE) << "riser HOB without a data byte";
}

}  // namespace
