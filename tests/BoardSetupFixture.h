// A fresh simulated board and fresh driver state for each scenario.
#pragma once

#include <gtest/gtest.h>

#include "BoardSetupDxe.h"
#include "Simulator/Platform.h"

// The board's values the suites expect, written from its description (not
// taken from the driver): the "Setup" variable's size, the riser's slot ID.
constexpr UINTN SetupSize = 5349;
constexpr UINT16 RiserSlotId = 0xE101;

class BoardBoot : public ::testing::Test {
 protected:
  Sim::Platform P;

  void SetUp() override { gBoardSetup = {}; }
  void TearDown() override {
    for (const auto &E : P.Errors()) {
      ADD_FAILURE() << "simulator: " << E;
    }
  }
  void LoadDriver() { ASSERT_EQ(P.StartImage(BoardSetupDxeEntry), EFI_SUCCESS); }
};
