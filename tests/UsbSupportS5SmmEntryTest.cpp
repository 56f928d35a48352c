// Loading the S5 USB support driver: every outcome of the load, what ends up
// registered, and where the SMRAM map goes.
#include <functional>

#include "UsbSupportS5SmmFixture.h"

namespace {

enum class Map { NeverAllocated, Kept, FreedToSmmPool };

struct LoadCase {
  const char *Name;
  std::function<void(Sim::Platform &, Sim::SmmSetup &)> Arrange;
  EFI_STATUS Status;
  bool S5Registered;
  bool PowerButtonRegistered;
  Map SmramMap;
};

// Call order at load: LocateProtocol #1 Base2, #2 Access2 (memory service),
// #3 Base2 (context); GetSmstLocation #1 memory service, #2 and #3 context;
// SmmLocateProtocol #1 platform service, #2 its retry or Sx, ...
const LoadCase LoadCases[] = {
    {"Base2Absent", [](Sim::Platform &, Sim::SmmSetup &S) { S.Base2 = false; }, EFI_NOT_FOUND,
     false, false, Map::NeverAllocated},
    {"Base2LookupFailsForTheContext",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("LocateProtocol", 3, EFI_DEVICE_ERROR);
     },
     EFI_DEVICE_ERROR, false, false, Map::FreedToSmmPool},
    {"NotInSmm", [](Sim::Platform &, Sim::SmmSetup &S) { S.InSmm = false; }, EFI_SUCCESS, false,
     false, Map::NeverAllocated},
    {"InSmmFailsAfterTheMapWasMade",
     [](Sim::Platform &P, Sim::SmmSetup &) { P.Faults.FailAll("InSmm", EFI_DEVICE_ERROR); },
     EFI_SUCCESS, false, false, Map::Kept},
    {"GetSmstLocationFailsForTheContext",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("GetSmstLocation", 2, EFI_ACCESS_DENIED);
     },
     EFI_ACCESS_DENIED, false, false, Map::FreedToSmmPool},
    {"GetSmstLocationFailsOnTheSecondRun",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("GetSmstLocation", 3, EFI_ACCESS_DENIED);
     },
     EFI_ACCESS_DENIED, false, false, Map::FreedToSmmPool},
    {"NoSmst", [](Sim::Platform &P, Sim::SmmSetup &) { P.Faults.NullResult("GetSmstLocation", 0); },
     EFI_UNSUPPORTED, false, false, Map::NeverAllocated},
    {"PlatformServiceAbsent", [](Sim::Platform &, Sim::SmmSetup &S) { S.PlatformService = false; },
     EFI_NOT_FOUND, false, false, Map::FreedToSmmPool},
    {"PlatformServiceFoundOnTheRetry",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("SmmLocateProtocol", 1, EFI_NOT_READY);
     },
     EFI_SUCCESS, true, true, Map::Kept},
    {"PlatformServiceFailsBothLookups",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.FailAll("SmmLocateProtocol", EFI_NOT_READY);
     },
     EFI_NOT_READY, false, false, Map::FreedToSmmPool},
    {"SxDispatcherAbsent", [](Sim::Platform &, Sim::SmmSetup &S) { S.SxDispatcher = false; },
     EFI_SUCCESS, false, false, Map::Kept},
    {"SxRegisterFails",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("SxRegister", 1, EFI_OUT_OF_RESOURCES);
     },
     EFI_OUT_OF_RESOURCES, false, false, Map::FreedToSmmPool},
    {"PowerButtonDispatcherAbsent",
     [](Sim::Platform &, Sim::SmmSetup &S) { S.PowerButtonDispatcher = false; }, EFI_SUCCESS, true,
     false, Map::Kept},
    {"PowerButtonRegisterFails",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("PowerButtonRegister", 1, EFI_OUT_OF_RESOURCES);
     },
     // The S5 registration is withdrawn: the failed image's SMRAM may be freed.
     EFI_OUT_OF_RESOURCES, false, false, Map::FreedToSmmPool},
    {"EverythingPresent", [](Sim::Platform &, Sim::SmmSetup &) {}, EFI_SUCCESS, true, true,
     Map::Kept},
};

class SmmLoad : public SmmBoot, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SmmLoad, StatusRegistrationsAndSmramMap) {
  const LoadCase &C = GetParam();
  Sim::SmmSetup Setup;
  C.Arrange(P, Setup);
  EXPECT_EQ(Load(Setup), C.Status);

  const auto Sx = P.Smm.SxRegistrations();
  const auto PowerButton = P.Smm.PowerButtonRegistrations();
  ASSERT_EQ(Sx.size(), C.S5Registered ? 1u : 0u);
  ASSERT_EQ(PowerButton.size(), C.PowerButtonRegistered ? 1u : 0u);
  if (C.S5Registered) {
    EXPECT_EQ(Sx[0]->Handler, UsbStandbyHandler);
    EXPECT_EQ(Sx[0]->SxContext.Type, SxS5);
    EXPECT_EQ(Sx[0]->SxContext.Phase, SxEntry);
  }
  if (C.PowerButtonRegistered) {
    EXPECT_EQ(PowerButton[0]->Handler, UsbStandbyHandler);
    EXPECT_EQ(PowerButton[0]->PowerButtonContext.Phase, EfiPowerButtonEntry);
  }
  if (!C.S5Registered && P.Faults.Calls("SxUnRegister") == 0) {
    EXPECT_EQ(P.Faults.Calls("PowerButtonRegister"), 0u) << "power button tried without S5";
  }

  const unsigned Allocated = P.Faults.Calls("SmmAllocatePool");
  EXPECT_EQ(P.Faults.Calls("FreePool"), 0u) << "the map never comes from boot services here";
  EXPECT_EQ(P.Boot.PoolInUse(), 0u);
  switch (C.SmramMap) {
    case Map::NeverAllocated:
      EXPECT_EQ(Allocated, 0u);
      EXPECT_EQ(P.Faults.Calls("SmmFreePool"), 0u);
      EXPECT_EQ(gSmmMemoryService.SmramMap, nullptr);
      break;
    case Map::Kept:
      EXPECT_EQ(Allocated, 1u);
      EXPECT_EQ(P.Faults.Calls("SmmFreePool"), 0u);
      ASSERT_EQ(P.Smm.PoolInUse(), 1u);
      EXPECT_TRUE(P.Smm.InSmmPool(gSmmMemoryService.SmramMap));
      break;
    case Map::FreedToSmmPool:
      EXPECT_EQ(Allocated, 1u);
      EXPECT_EQ(P.Faults.Calls("SmmFreePool"), 1u);
      EXPECT_EQ(P.Smm.PoolInUse(), 0u);
      EXPECT_EQ(gSmmMemoryService.SmramMap, nullptr);
      EXPECT_EQ(gSmmMemoryService.SmramMapCount, 0u) << "no ranges left for a freed map";
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, SmmLoad, ::testing::ValuesIn(LoadCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(SmmBoot, FullLoadRecordsTheSmramRangesAndLocatesTheBaseOnce) {
  ASSERT_EQ(Load(), EFI_SUCCESS);
  ASSERT_EQ(gSmmMemoryService.SmramMapCount, P.Smm.SmramRanges.size());
  for (size_t I = 0; I < P.Smm.SmramRanges.size(); ++I) {
    EXPECT_EQ(gSmmMemoryService.SmramMap[I].CpuStart, P.Smm.SmramRanges[I].CpuStart);
    EXPECT_EQ(gSmmMemoryService.SmramMap[I].PhysicalSize, P.Smm.SmramRanges[I].PhysicalSize);
  }
  EXPECT_EQ(P.Faults.Calls("LocateProtocol"), 3u)
      << "Base2 and Access2 for the map, Base2 once more";
  EXPECT_EQ(gSmmDriverContext.Smst, P.Smm.Smst());
  EXPECT_EQ(gSmmDriverContext.PlatformService, P.Smm.PlatformService());
  EXPECT_EQ(gSmmDriverContext.SystemTable, P.SystemTable());
}

TEST_F(SmmBoot, AMapThatShrinksBeforeTheFillRecordsOnlyWhatWasFilled) {
  // The core merges its two ranges between the size query and the fill.
  const auto &First = P.Smm.SmramRanges.front();
  const auto &Last = P.Smm.SmramRanges.back();
  const EFI_SMRAM_DESCRIPTOR Merged = {First.PhysicalStart, First.CpuStart,
                                       Last.CpuStart + Last.PhysicalSize - First.CpuStart,
                                       First.RegionState};
  P.Smm.SmramRangesAfterSizeQuery = std::vector<EFI_SMRAM_DESCRIPTOR>{Merged};
  ASSERT_EQ(Load(), EFI_SUCCESS);
  ASSERT_EQ(gSmmMemoryService.SmramMapCount, 1u);
  EXPECT_EQ(gSmmMemoryService.SmramMap[0].CpuStart, Merged.CpuStart);
  EXPECT_EQ(gSmmMemoryService.SmramMap[0].PhysicalSize, Merged.PhysicalSize);
}

TEST_F(SmmBoot, NotInSmmTouchesNoDispatcherAndNoSmstService) {
  Sim::SmmSetup Setup;
  Setup.InSmm = false;
  ASSERT_EQ(Load(Setup), EFI_SUCCESS);
  EXPECT_EQ(P.Faults.Calls("SmmLocateProtocol"), 0u);
  EXPECT_EQ(P.Faults.Calls("SmmAllocatePool"), 0u);
  EXPECT_EQ(gSmmDriverContext.Smst, nullptr);
}

TEST_F(SmmBoot, PlatformServiceAbsentLooksUpNoDispatcher) {
  Sim::SmmSetup Setup;
  Setup.PlatformService = false;
  ASSERT_EQ(Load(Setup), EFI_NOT_FOUND);
  EXPECT_EQ(P.Faults.Calls("SmmLocateProtocol"), 2u) << "the lookup and its retry, nothing else";
  EXPECT_EQ(P.Faults.Calls("SxRegister"), 0u);
}

// --- where the SMRAM map goes on a failed load ---------------------------------

TEST_F(SmmBoot, MapFromPoolOutsideSmramGoesBackToBootServices) {
  P.Smm.PoolOutsideSmram = true;
  Sim::SmmSetup Setup;
  Setup.PlatformService = false;
  ASSERT_EQ(Load(Setup), EFI_NOT_FOUND);
  EXPECT_EQ(P.Faults.Calls("FreePool"), 1u);
  EXPECT_EQ(P.Faults.Calls("SmmFreePool"), 0u);
  EXPECT_EQ(P.Boot.PoolInUse(), 0u);
}

TEST_F(SmmBoot, MapAtTheVeryStartOfARangeCountsAsSmramByCpuAddress) {
  // One range that begins exactly where the map will land, with a physical
  // address elsewhere: only CpuStart decides.
  const auto MapAddress = P.Smm.SmramRanges[1].CpuStart;
  P.Smm.SmramRanges = {{0x1000, MapAddress, sizeof(EFI_SMRAM_DESCRIPTOR), 0}};
  Sim::SmmSetup Setup;
  Setup.PlatformService = false;
  ASSERT_EQ(Load(Setup), EFI_NOT_FOUND);
  EXPECT_EQ(P.Faults.Calls("SmmFreePool"), 1u);
  EXPECT_EQ(P.Faults.Calls("FreePool"), 0u);
}

struct MemoryServiceCase {
  const char *Name;
  std::function<void(Sim::Platform &, Sim::SmmSetup &)> Arrange;
  unsigned Allocations;
  unsigned SmmFrees;
};

// Each gap of the memory-service initialisation on a load that then fails:
// no call through what is missing, no free of what was never allocated.
const MemoryServiceCase MemoryServiceCases[] = {
    {"Access2Absent", [](Sim::Platform &, Sim::SmmSetup &S) { S.Access2 = false; }, 0, 0},
    {"SizeQueryFails",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("GetCapabilities", 1, EFI_DEVICE_ERROR);
     },
     0, 0},
    {"NoRanges", [](Sim::Platform &P, Sim::SmmSetup &) { P.Smm.SmramRanges.clear(); }, 0, 0},
    {"AllocationSucceedsWithNoBuffer",
     [](Sim::Platform &P, Sim::SmmSetup &) { P.Faults.NullResult("SmmAllocatePool", 1); }, 1, 0},
    {"AllocationFails",
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("SmmAllocatePool", 1, EFI_OUT_OF_RESOURCES);
     },
     1, 0},
    {"FillFails",  // the unfilled buffer goes back at once
     [](Sim::Platform &P, Sim::SmmSetup &) {
       P.Faults.Fail("GetCapabilities", 2, EFI_DEVICE_ERROR);
     },
     1, 1},
    {"Base2LookupFailsForTheMap",
     [](Sim::Platform &P, Sim::SmmSetup &) { P.Faults.Fail("LocateProtocol", 1, EFI_NOT_FOUND); },
     0, 0},
    {"Access2LookupGivesNull",
     [](Sim::Platform &P, Sim::SmmSetup &) { P.Faults.NullResult("LocateProtocol", 2); }, 0, 0},
};

class SmmMemoryServiceGap : public SmmBoot,
                            public ::testing::WithParamInterface<MemoryServiceCase> {};

TEST_P(SmmMemoryServiceGap, FailedLoadFreesOnlyWhatItAllocated) {
  const MemoryServiceCase &C = GetParam();
  Sim::SmmSetup Setup;
  Setup.PlatformService = false;  // the load fails and takes the free path
  C.Arrange(P, Setup);
  EXPECT_EQ(Load(Setup), EFI_NOT_FOUND);
  EXPECT_EQ(P.Faults.Calls("SmmAllocatePool"), C.Allocations);
  EXPECT_EQ(P.Faults.Calls("SmmFreePool"), C.SmmFrees);
  EXPECT_EQ(P.Faults.Calls("FreePool"), 0u);
  EXPECT_EQ(P.Smm.PoolInUse(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachGap, SmmMemoryServiceGap, ::testing::ValuesIn(MemoryServiceCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// --- the SMM configuration table -----------------------------------------------

TEST_F(SmmBoot, RuntimeServicesReplacedOnlyByTheSmmTableEntry) {
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(gSmmDriverContext.RuntimeServices, P.Smm.SmmRuntimeServices());
}

TEST_F(SmmBoot, RuntimeServicesKeptWithoutTheSmmTableEntry) {
  EFI_RUNTIME_SERVICES *Boot = P.SystemTable()->RuntimeServices;
  Sim::SmmSetup Setup;
  Setup.RuntimeServicesTable = false;
  P.Smm.AddConfigurationTable(SioAccessGateGuid, P.Smm.Gate());  // other entries do not count
  ASSERT_EQ(Load(Setup), EFI_SUCCESS);
  EXPECT_EQ(gSmmDriverContext.RuntimeServices, Boot);
}

TEST_F(SmmBoot, DuplicateConfigurationEntriesFirstWins) {
  EFI_RUNTIME_SERVICES Second{};
  Sim::SmmSetup Setup;
  P.Smm.Build(Setup);  // the real SMM runtime table comes first
  P.Smm.AddConfigurationTable(SmmRuntimeServicesTableGuid, &Second);
  ASSERT_EQ(P.Smm.LoadDriver(UsbSupportS5SmmImageEntry), EFI_SUCCESS);
  EXPECT_EQ(gSmmDriverContext.RuntimeServices, P.Smm.SmmRuntimeServices());
  EXPECT_EQ(FindSmmConfigurationTable(&SmmRuntimeServicesTableGuid), P.Smm.SmmRuntimeServices());
}

TEST_F(SmmBoot, ConfigurationTableLookupOnAnEmptyTable) {
  gSmmDriverContext.Smst = P.Smm.Smst();
  EXPECT_EQ(P.Smm.Smst()->NumberOfTableEntries, 0u);
  EXPECT_EQ(FindSmmConfigurationTable(&SioAccessGateGuid), nullptr);
}

}  // namespace
