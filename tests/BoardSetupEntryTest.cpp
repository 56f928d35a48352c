// Load time: what the entry point publishes and arms, and that no failure
// of a boot service stops it.
#include "BoardSetupFixture.h"
#include "SetupStringProtocol.h"

namespace {

size_t ArmedOnCleanBoot() {
  Sim::Platform Board;
  gBoardSetup = {};
  EXPECT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
  return Board.Boot.LiveEvents();
}

TEST_F(BoardBoot, EntryPublishesArmsAndDoesNoBoardWork) {
  LoadDriver();
  EXPECT_EQ(P.Boot.HandlesWith(BoardNicInfoProtocolGuid).size(), 1u);
  EXPECT_GE(P.Boot.RegistrationsFor(SetupStringProtocolGuid), 1u);
  EXPECT_EQ(P.Boot.PendingEvents(), 0u) << "nothing is signalled at arming time";
  EXPECT_TRUE(P.Trace.empty());
  EXPECT_TRUE(P.SetupStrings.Ops().empty());
  EXPECT_EQ(gBoardSetup.SystemTable, P.SystemTable());
  EXPECT_EQ(gBoardSetup.RuntimeServices, P.SystemTable()->RuntimeServices);
}

TEST_F(BoardBoot, FailingInstallStillArmsTheNotifications) {
  const size_t Armed = ArmedOnCleanBoot();
  P.Faults.FailAll("InstallProtocolInterface", EFI_OUT_OF_RESOURCES);
  LoadDriver();
  P.Faults.Clear();
  EXPECT_TRUE(P.Boot.HandlesWith(BoardNicInfoProtocolGuid).empty());
  EXPECT_EQ(P.Boot.LiveEvents(), Armed);
  P.InstallSetupStringProtocol();
  EXPECT_EQ(P.SetupStrings.Hides().size(), 21u);
}

TEST_F(BoardBoot, OneFailingCreateEventLeavesTheOthersArmed) {
  const size_t Armed = ArmedOnCleanBoot();
  P.Faults.Fail("CreateEvent", 1, EFI_OUT_OF_RESOURCES);
  LoadDriver();
  EXPECT_EQ(P.Boot.LiveEvents(), Armed - 1);
  P.InstallSetupStringProtocol();
  EXPECT_TRUE(P.SetupStrings.Hides().empty()) << "the relabel notification was not armed";
}

TEST_F(BoardBoot, FailingRegistrationsDoNotChangeTheEntryStatus) {
  P.Faults.FailAll("RegisterProtocolNotify", EFI_OUT_OF_RESOURCES);
  LoadDriver();
  P.Faults.Clear();
  P.InstallSetupStringProtocol();
  EXPECT_TRUE(P.SetupStrings.Ops().empty());
}

}  // namespace
