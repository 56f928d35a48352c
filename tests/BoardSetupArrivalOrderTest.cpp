// Every order in which the platform can bring the four arrivals the driver
// waits for (string protocol, SMBus host controller, Super I/O trigger,
// SMBIOS trigger), each before or after the driver's entry, with the SMBIOS
// protocol early or late, with and without notifications held back. The
// expected board state comes from a small model of the rules, not from the
// driver.
#include <algorithm>
#include <string>
#include <vector>

#include "BoardSetupFixture.h"

namespace {

enum Arrival { Strings, Smbus, SioTrigger, SmbiosTrigger, ArrivalCount };
const char *const ArrivalName[] = {"strings", "smbus", "sio", "smbios"};

constexpr UINT8 ExpanderByte = 0xA5;
constexpr UINT16 ExpanderFirstLabel = 0x27BE;
constexpr UINT8 SlotSearched = 7;

struct Scenario {
  std::vector<Arrival> Before;  // installed before the entry point, in this order
  std::vector<Arrival> After;   // installed after it, in this order
  bool SmbiosLate;              // EFI_SMBIOS_PROTOCOL only at the end, then a second trigger
  bool Held;                    // the after-entry arrivals happen with notifications held back

  std::string Name() const {
    std::string N = "before[";
    for (Arrival A : Before) N += std::string(ArrivalName[A]) + " ";
    N += "] after[";
    for (Arrival A : After) N += std::string(ArrivalName[A]) + " ";
    return N + "]" + (SmbiosLate ? " smbios-late" : "") + (Held ? " held" : "");
  }
};

// What the board must show at the end, from the rules alone.
struct Expected {
  bool Relabelled;
  bool ExpanderLabels;
  bool SuperIoProgrammed;
  bool SlotRenamed;
};

Expected Model(const Scenario &S) {
  auto After = [&](Arrival A) { return std::find(S.After.begin(), S.After.end(), A) != S.After.end(); };
  Expected E{};
  // Notifications report only arrivals after arming.
  E.Relabelled = After(Strings);
  // Whichever of the two arrives last (after entry) finds both.
  E.ExpanderLabels = After(Strings) || After(Smbus);
  E.SuperIoProgrammed = After(SioTrigger);
  // A late SMBIOS protocol comes with a second trigger, always after entry.
  E.SlotRenamed = S.SmbiosLate || After(SmbiosTrigger);
  return E;
}

void Arrive(Sim::Platform &P, Arrival A) {
  switch (A) {
    case Strings: P.InstallSetupStringProtocol(); break;
    case Smbus: P.InstallSmbusProtocol(); break;
    case SioTrigger: P.InstallSioTrigger(); break;
    case SmbiosTrigger: P.InstallSmbiosTrigger(); break;
    default: break;
  }
}

void Boot(Sim::Platform &P, const Scenario &S, EFI_SMBIOS_HANDLE &Slot7) {
  gBoardSetup = {};
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  P.Pcd.Set(660, 1);
  P.Pcd.Set(663, 1);
  P.InstallPcdProtocol();
  P.Smbus.AddDevice(0x38);
  P.Smbus.SetRegister(0x38, 0, ExpanderByte);
  P.StoreSetupVariable(SetupSize, {{5265, 2}, {5266, 6}});
  P.Smbios.AddSlot(1, "SLOT1");
  Slot7 = P.Smbios.AddSlot(SlotSearched, "SLOT7");
  if (!S.SmbiosLate) {
    P.InstallSmbiosProtocol();
  }
  for (Arrival A : S.Before) Arrive(P, A);
  ASSERT_EQ(P.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
  const EFI_TPL Old = S.Held ? P.Hold() : 0;
  for (Arrival A : S.After) Arrive(P, A);
  if (S.Held) {
    P.Release(Old);
  }
  if (S.SmbiosLate) {
    P.InstallSmbiosProtocol();
    P.InstallSmbiosTrigger();
  }
}

void Check(Sim::Platform &P, const Scenario &S, EFI_SMBIOS_HANDLE Slot7) {
  const Expected E = Model(S);
  const auto &Form = P.SetupStrings;
  EXPECT_EQ(Form.Hides().size(), E.Relabelled ? 21u : 0u);
  EXPECT_EQ(Form.Text(0x26B0), E.Relabelled ? "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM" : "");
  EXPECT_EQ(Form.Text(0x26AA), E.Relabelled ? "PCH SLOT4 PCI-E 3.0 X2 (IN X4) OPROM" : "");
  EXPECT_EQ(Form.Text(0x21DD), E.Relabelled ? "  Peripheral Temperature" : "");
  EXPECT_EQ(Form.Text(0x15F7), E.Relabelled ? "SLIMSAS Peer Memory Write Enable" : "");
  for (unsigned Bit = 0; Bit < 8; ++Bit) {
    const std::string Want = !E.ExpanderLabels              ? ""
                             : ((ExpanderByte >> Bit) & 1) ? "None or High"
                                                           : "Low";
    EXPECT_EQ(Form.Text(static_cast<UINT16>(ExpanderFirstLabel + Bit)), Want) << "bit " << Bit;
  }
  for (UINT8 Device : {2, 3}) {
    EXPECT_EQ(P.SuperIo.Register(Device, 0x30), E.SuperIoProgrammed ? 0x01 : 0x00);
    EXPECT_EQ(P.SuperIo.Register(Device, 0xF2), E.SuperIoProgrammed ? 0x02 : 0x00);
  }
  EXPECT_FALSE(P.SuperIo.InConfigMode());
  EXPECT_EQ(P.Smbios.SlotId(Slot7), E.SlotRenamed ? RiserSlotId : SlotSearched);
  EXPECT_EQ(P.Smbios.SlotDesignation(Slot7), E.SlotRenamed ? "TRK-M-4H2" : "SLOT7");
  for (const auto &Err : P.Errors()) {
    ADD_FAILURE() << Err;
  }
}

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> Out;
  for (unsigned Mask = 0; Mask < (1u << ArrivalCount); ++Mask) {
    std::vector<Arrival> Before, After;
    for (unsigned A = 0; A < ArrivalCount; ++A) {
      ((Mask >> A) & 1 ? After : Before).push_back(static_cast<Arrival>(A));
    }
    std::sort(After.begin(), After.end());
    do {
      for (bool Late : {false, true}) {
        for (bool Held : {false, true}) {
          Out.push_back({Before, After, Late, Held});
        }
      }
    } while (std::next_permutation(After.begin(), After.end()));
  }
  return Out;
}

TEST(ArrivalOrder, EveryOrderEndsInTheStateTheRulesGive) {
  const auto Scenarios = AllScenarios();
  ASSERT_EQ(Scenarios.size(), 65u * 4u);
  for (const Scenario &S : Scenarios) {
    SCOPED_TRACE(S.Name());
    Sim::Platform P;
    EFI_SMBIOS_HANDLE Slot7 = 0;
    Boot(P, S, Slot7);
    Check(P, S, Slot7);
  }
  std::printf("arrival orders checked: %zu\n", Scenarios.size());
}

}  // namespace
