// The USB standby handler, raised the way the board raises it: S5 entry and
// power-button presses after a complete load, with the load-time tables
// poisoned. Asserted on the Super I/O register, the exact port traffic and
// the gate calls.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "UsbSupportS5SmmFixture.h"

namespace {

using SmmTest::FullSequence;
using SmmTest::Show;

// The address of a block already given back to the heap.
__attribute__((noinline)) uintptr_t FreedBlockAddress() {
  VOID *Block = std::malloc(sizeof(UINTN) * 4);
  const auto Address = reinterpret_cast<uintptr_t>(Block);
  std::free(Block);
  return Address;
}

class UsbStandby : public SmmBoot {
 protected:
  void SetUp() override {
    SmmBoot::SetUp();
    ASSERT_EQ(Load(), EFI_SUCCESS);
    ASSERT_TRUE(P.Smm.Poisoned());
  }

  // Raises one SMI and returns its single handler run.
  Sim::SmmModel::HandlerRun Raise(Sim::SmiSource Source = Sim::SmiSource::S5Entry) {
    const unsigned Ran =
        Source == Sim::SmiSource::S5Entry ? P.Smm.EnterS5() : P.Smm.PressPowerButton();
    EXPECT_EQ(Ran, 1u);
    const auto Run = P.Smm.Runs().back();
    EXPECT_EQ(Run.Status, EFI_SUCCESS);
    EXPECT_EQ(Run.PoolAllocations, 0u);
    return Run;
  }

  // A run that must leave the Super I/O alone.
  void ExpectUntouched(const Sim::SmmModel::HandlerRun &Run, const std::vector<int> &Gates,
                       UINT8 Register) {
    EXPECT_TRUE(PortsOf(Run).empty()) << Show(PortsOf(Run));
    EXPECT_EQ(GatesOf(Run), Gates);
    EXPECT_EQ(UsbRegisterValue(), Register);
  }
};

struct SettingCase {
  UINT8 Setting;
  UINT8 Before;
  UINT8 After;
};

class UsbStandbySetting : public UsbStandby, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(UsbStandbySetting, WritesTheRegisterWithTheNineAccesses) {
  const SettingCase &C = GetParam();
  SetUsbSupport(C.Setting);
  SetUsbRegister(C.Before);
  const auto Run = Raise();
  EXPECT_EQ(PortsOf(Run), FullSequence(C.Before, C.After)) << Show(PortsOf(Run));
  EXPECT_EQ(UsbRegisterValue(), C.After);
  EXPECT_EQ(GatesOf(Run), (std::vector<int>{1, 0}));
}

INSTANTIATE_TEST_SUITE_P(Byte48, UsbStandbySetting,
                         ::testing::Values(SettingCase{1, 0xA4, 0xA5},  // set, bits 1-7 kept
                                           SettingCase{1, 0xFF, 0xFF},
                                           SettingCase{0, 0x5B, 0x5A},  // cleared, bits 1-7 kept
                                           SettingCase{0, 0x00, 0x00},
                                           SettingCase{2, 0xA5, 0xA5},  // written back as read
                                           SettingCase{2, 0xA4, 0xA4},
                                           SettingCase{0xFF, 0x3C, 0x3C}));

TEST_F(UsbStandby, ShortVariableReadsAsZeroAndClearsTheBit) {
  // A full-length run first leaves a 1 where byte 48 lives on the stack.
  SetUsbSupport(1);
  Raise();
  for (const size_t Size : {size_t{1}, size_t{30}, size_t{48}}) {
    SetUsbSupport(1, Size);  // too short to carry byte 48
    SetUsbRegister(0x81);
    const auto Run = Raise();
    EXPECT_EQ(PortsOf(Run), FullSequence(0x81, 0x80)) << "size " << Size << Show(PortsOf(Run));
  }
  SetUsbSupport(1, 49);  // just long enough
  SetUsbRegister(0x80);
  EXPECT_EQ(PortsOf(Raise()), FullSequence(0x80, 0x81));
}

TEST_F(UsbStandby, LongerVariableTouchesNothingButReleasesTheGate) {
  SetUsbSupport(1, SmmTest::UsbSupportSize + 1);
  SetUsbRegister(0x40);
  ExpectUntouched(Raise(), {1, 0}, 0x40);
}

TEST_F(UsbStandby, NoVariableTouchesNothingButReleasesTheGate) {
  SetUsbRegister(0x40);
  ExpectUntouched(Raise(), {1, 0}, 0x40);
}

TEST_F(UsbStandby, VariableReadFailingTouchesNothingButReleasesTheGate) {
  SetUsbSupport(1);
  SetUsbRegister(0x40);
  P.Faults.Fail("SmmGetVariable", 1, EFI_DEVICE_ERROR);
  ExpectUntouched(Raise(), {1, 0}, 0x40);
}

TEST_F(UsbStandby, GateRefusingTheClaimMeansNoPortsAndNoRelease) {
  SetUsbSupport(1);
  SetUsbRegister(0x40);
  P.Faults.Fail("SioAccessGate", 1, EFI_ACCESS_DENIED);
  ExpectUntouched(Raise(), {1}, 0x40);
  EXPECT_EQ(P.Faults.Calls("SmmLocateProtocol"), 3u) << "no variable lookup after a refused claim";
}

TEST_F(UsbStandby, EveryPortAccessLiesInsideTheGate) {
  SetUsbSupport(1);
  const auto Run = Raise();
  const auto &Gates = P.Smm.GateCalls();
  ASSERT_EQ(Run.GateEnd - Run.GateBegin, 2u);
  // Nothing between the SMI's start and the claim, nothing after the release.
  size_t FirstPort = Run.TraceEnd, LastPort = Run.TraceBegin;
  for (size_t I = Run.TraceBegin; I < Run.TraceEnd; ++I) {
    if (P.Trace[I].IsPort()) {
      FirstPort = std::min(FirstPort, I);
      LastPort = I;
    }
  }
  EXPECT_LE(Gates[Run.GateBegin].TracePosition, FirstPort);
  EXPECT_GT(Gates[Run.GateBegin + 1].TracePosition, LastPort);
  EXPECT_EQ(Gates[Run.GateBegin + 1].TracePosition, Run.TraceEnd);
}

TEST_F(UsbStandby, S5AndPowerButtonGiveTheSameTraffic) {
  SetUsbSupport(1);
  SetUsbRegister(0x10);
  const auto S5 = PortsOf(Raise(Sim::SmiSource::S5Entry));
  SetUsbRegister(0x10);
  const auto PowerButton = PortsOf(Raise(Sim::SmiSource::PowerButton));
  EXPECT_EQ(S5, PowerButton) << Show(S5) << "\nvs" << Show(PowerButton);
  EXPECT_EQ(S5, FullSequence(0x10, 0x11));
}

TEST_F(UsbStandby, OtherSleepStatesDoNotRunIt) {
  EXPECT_EQ(P.Smm.RaiseSx(SxS3, SxEntry), 0u);
  EXPECT_EQ(P.Smm.RaiseSx(SxS5, SxExit), 0u);
  EXPECT_TRUE(P.PortTrace().empty());
}

TEST_F(UsbStandby, LooksEverythingUpAgainOnEveryRun) {
  SetUsbSupport(1);
  SetUsbRegister(0x00);
  Raise();
  EXPECT_EQ(UsbRegisterValue(), 0x01);

  // The setting changes between presses: the variable is read again.
  SetUsbSupport(0);
  Raise(Sim::SmiSource::PowerButton);
  EXPECT_EQ(UsbRegisterValue(), 0x00);

  // The variable protocol cannot be found this time: nothing cached.
  const unsigned Lookups = P.Faults.Calls("SmmLocateProtocol");
  P.Faults.Fail("SmmLocateProtocol", Lookups + 1, EFI_NOT_FOUND);
  SetUsbSupport(1);
  ExpectUntouched(Raise(), {1, 0}, 0x00);

  // The gate entry is gone: no gate call at all, no ports.
  P.Smm.Smst()->SmmInstallConfigurationTable(P.Smm.Smst(), &SioAccessGateGuid, nullptr, 0);
  ExpectUntouched(Raise(), {}, 0x00);
  EXPECT_EQ(P.Faults.Calls("SmmLocateProtocol"), Lookups + 1) << "no lookup without a gate";
}

TEST_F(UsbStandby, GateRecordWithoutAFunctionIsNoGate) {
  SetUsbSupport(1);
  SIO_ACCESS_GATE Empty{};
  P.Smm.Smst()->SmmInstallConfigurationTable(P.Smm.Smst(), &SioAccessGateGuid, &Empty, 0);
  ExpectUntouched(Raise(), {}, 0x00);
}

TEST_F(UsbStandby, NoSmstRecordedIsAQuietSuccess) {
  gSmmDriverContext.Smst = nullptr;
  SetUsbSupport(1);
  EXPECT_EQ(UsbStandbyHandler(nullptr, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(P.PortTrace().empty());
  EXPECT_TRUE(P.Smm.GateCalls().empty());
}

// The handler never reads what the caller hands it: addresses that fault on
// any access, a freed buffer (caught by the sanitizer build) and null.
TEST_F(UsbStandby, IgnoresNullDanglingAndHostileArguments) {
  const size_t PageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  VOID *Guard = mmap(nullptr, PageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(Guard, MAP_FAILED);
  auto *Dangling = reinterpret_cast<UINTN *>(FreedBlockAddress());
  const Sim::SmmModel::SmiArguments Cases[] = {
      {true, nullptr, nullptr, nullptr},
      {true, Guard, Guard, static_cast<UINTN *>(Guard)},
      {true, Dangling, Dangling, Dangling},
      {true, reinterpret_cast<VOID *>(0xDEAD00000000BEEFull),
       reinterpret_cast<VOID *>(0x8000000000000000ull),
       reinterpret_cast<UINTN *>(0xFFFF800000000000ull)},
  };
  SetUsbSupport(1);
  for (const auto &Args : Cases) {
    for (const auto Source : {Sim::SmiSource::S5Entry, Sim::SmiSource::PowerButton}) {
      SetUsbRegister(0x00);
      P.Smm.NextSmi = Args;
      EXPECT_EQ(PortsOf(Raise(Source)), FullSequence(0x00, 0x01));
    }
  }
  munmap(Guard, PageSize);
}

TEST_F(UsbStandby, ManyRunsAllocateNothingAndKeepOnlyTheMap) {
  SetUsbSupport(1);
  for (int I = 0; I < 8; ++I) {
    Raise(I % 2 == 0 ? Sim::SmiSource::S5Entry : Sim::SmiSource::PowerButton);
  }
  EXPECT_EQ(P.Faults.Calls("SmmAllocatePool"), 1u) << "the SMRAM map at load, nothing since";
  EXPECT_EQ(P.Smm.PoolInUse(), 1u);
}

}  // namespace
