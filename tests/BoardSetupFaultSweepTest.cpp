// A full DXE boot of the board, then the same boot once per platform service
// call with that call failing, for every error the service can return (and,
// for lookups, success with a NULL interface). Each run must end without a
// crash or simulator error, in the board state the failure rules give.
#include <array>
#include <map>
#include <string>
#include <vector>

#include "BoardSetupFixture.h"
#include "Simulator/PciExpress.h"

namespace {

using Sim::Fault;
using Sim::PciExpressSpace;

constexpr size_t RelabelHides = 21;
constexpr size_t RelabelLabelSets = 54;
constexpr size_t OpromSets = 4;  // rows 0 and 3 enabled
constexpr size_t ExpanderSets = 8;
constexpr UINT16 Slot7Id = 7;

struct BoardState {
  size_t Hides = 0;
  size_t Sets = 0;
  size_t Oprom = 0;     // option-ROM prompt/help strings written
  size_t Expander = 0;  // presence labels written
  bool SuperIo = false;
  bool SlotIdChanged = false;
  bool SlotRenamed = false;
  bool NicInstalled = false;
  int NicCounts = 0;  // Count of both records when installed
  bool operator==(const BoardState &) const = default;
};

std::string Show(const BoardState &S) {
  return "hides " + std::to_string(S.Hides) + " sets " + std::to_string(S.Sets) + " oprom " +
         std::to_string(S.Oprom) + " expander " + std::to_string(S.Expander) + " sio " +
         std::to_string(S.SuperIo) + " slot-id " + std::to_string(S.SlotIdChanged) + " slot-name " +
         std::to_string(S.SlotRenamed) + " nic " + std::to_string(S.NicInstalled) + "/" +
         std::to_string(S.NicCounts);
}

struct BootRun {
  BoardState State;
  std::vector<std::string> Calls, Details, Errors;
  EFI_STATUS EntryStatus;
};

// Strings, then SMBus, then the two triggers: the order fixes which event
// each armed callback's work hangs on.
BootRun BootOnce(const std::optional<std::pair<unsigned, Fault>> &Inject) {
  Sim::Platform P;
  gBoardSetup = {};
  if (Inject) {
    P.Faults.FailGlobal(Inject->first, Inject->second);
  }
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  P.Pcd.Set(660, 1);
  P.Pcd.Set(663, 1);
  P.Pcd.Set(630, 0x00E0);
  P.Pcd.Set(631, 0x00E4);
  P.InstallPcdProtocol();
  P.Pci.AddRootPort(0x00E0, 2);
  P.Pci.AddRootPort(0x00E4, 3);
  P.Pci.AddNic(PciExpressSpace::Address(2, 0, 0), 0x91000000, {1, 2, 3, 4, 5, 6});
  P.Pci.AddNic(PciExpressSpace::Address(3, 0, 0), 0x91100000, {1, 2, 3, 4, 5, 7});
  P.Smbus.AddDevice(0x38);
  P.Smbus.SetRegister(0x38, 0, 0x5A);
  P.StoreSetupVariable(5349, {{5265, 3}, {5266, 1}});
  P.Smbios.AddSlot(1, "SLOT1");
  const EFI_SMBIOS_HANDLE Slot7 = P.Smbios.AddSlot(Slot7Id, "SLOT7");
  P.InstallSmbiosProtocol();

  BootRun R;
  R.EntryStatus = P.StartImage(BoardSetupDxeEntry);
  P.InstallSetupStringProtocol();
  P.InstallSmbusProtocol();
  P.InstallSioTrigger();
  P.InstallSmbiosTrigger();

  BoardState &S = R.State;
  S.Hides = P.SetupStrings.Hides().size();
  S.Sets = P.SetupStrings.Sets().size();
  for (UINT16 Id = 0x26AA; Id <= 0x26C5; ++Id) {
    S.Oprom += P.SetupStrings.Written(Id);
  }
  for (UINT16 Id = 0x27BE; Id <= 0x27C5; ++Id) {
    S.Expander += P.SetupStrings.Written(Id);
  }
  S.SuperIo = P.SuperIo.Register(2, 0x30) == 0x01 && P.SuperIo.Register(2, 0xF2) == 0x02;
  S.SlotIdChanged = P.Smbios.SlotId(Slot7) == RiserSlotId;
  S.SlotRenamed = P.Smbios.SlotDesignation(Slot7) == "TRK-M-4H2";
  VOID *Nic = nullptr;
  S.NicInstalled = P.Boot.LocateProtocol(&BoardNicInfoProtocolGuid, nullptr, &Nic) == EFI_SUCCESS;
  if (S.NicInstalled) {
    UINT8 First[10] = {};
    NicMacRecord Second{};
    if (static_cast<BOARD_NIC_INFO_PROTOCOL *>(Nic)->GetNicMacAddresses(First, &Second) ==
        EFI_SUCCESS) {
      S.NicCounts = First[NicFirstRecordOffset] + Second.Count;
    }
  }
  R.Calls = P.Faults.CallLog();
  R.Details = P.Faults.CallDetails();
  R.Errors = P.Errors();
  return R;
}

std::vector<Fault> FaultsFor(const std::string &Service) {
  static const std::map<std::string, std::vector<EFI_STATUS>> Statuses = {
      {"LocateProtocol", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"InstallProtocolInterface", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"CreateEvent", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"RegisterProtocolNotify", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"CloseEvent", {EFI_INVALID_PARAMETER}},
      {"GetVariable", {EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR, EFI_SECURITY_VIOLATION}},
      {"SmbusExecute", {EFI_DEVICE_ERROR, EFI_TIMEOUT, EFI_INVALID_PARAMETER, EFI_UNSUPPORTED}},
      {"SmbiosGetNext", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"SmbiosUpdateString", {EFI_OUT_OF_RESOURCES, EFI_UNSUPPORTED, EFI_NOT_FOUND}},
      {"HideString", {EFI_DEVICE_ERROR, EFI_INVALID_PARAMETER}},
      {"SetString", {EFI_DEVICE_ERROR, EFI_INVALID_PARAMETER}},
  };
  std::vector<Fault> Out;
  auto It = Statuses.find(Service);
  if (It != Statuses.end()) {
    for (EFI_STATUS S : It->second) {
      Out.push_back({S, false});
    }
  }
  if (Service == "LocateProtocol") {
    Out.push_back({EFI_SUCCESS, true});
  }
  return Out;
}

// The failure rules: what the board shows when this call fails. Returns
// false for a call no rule covers (the sweep then fails: a new call needs
// its rule written down).
bool Expect(const std::string &Service, const std::string &Detail, unsigned Occurrence,
            const BoardState &Baseline, BoardState &E) {
  E = Baseline;
  const auto NoRelabel = [&] {
    E.Hides = 0;
    E.Sets -= RelabelLabelSets + OpromSets;
    E.Oprom = 0;
  };
  const auto NoExpander = [&] {
    E.Sets -= ExpanderSets;
    E.Expander = 0;
  };
  const auto NoSlot = [&] { E.SlotIdChanged = E.SlotRenamed = false; };
  // Arming order at entry: relabel, expander (SMBus), expander (strings), Super I/O, SMBIOS.
  const auto NotArmed = [&](unsigned Which) {
    switch (Which) {
      case 1: NoRelabel(); break;
      case 2: NoExpander(); break;  // the strings-event run finds no SMBus yet
      case 3: break;                // the SMBus-event run still finds both
      case 4: E.SuperIo = false; break;
      case 5: NoSlot(); break;
      default: return false;
    }
    return true;
  };
  if (Service == "InstallProtocolInterface") {
    E.NicInstalled = false;
    E.NicCounts = 0;
    return true;
  }
  if (Service == "CreateEvent") {
    return NotArmed(Occurrence);
  }
  if (Service == "RegisterProtocolNotify") {
    const std::map<std::string, unsigned> Which = {
        {"SetupStringProtocol#1", 1}, {"EFI_SMBUS_HC_PROTOCOL#1", 2},
        {"SetupStringProtocol#2", 3}, {"SioTrigger#1", 4},
        {"SmbiosTrigger#1", 5}};
    auto It = Which.find(Detail + "#" + std::to_string(Occurrence));
    return It != Which.end() && NotArmed(It->second);
  }
  if (Service == "CloseEvent") {
    return true;  // the callbacks carry on; each event fires once in this boot anyway
  }
  if (Service == "LocateProtocol") {
    const std::string Key = Detail + "#" + std::to_string(Occurrence);
    if (Key == "SetupStringProtocol#1") NoRelabel();
    else if (Key == "PCD_PROTOCOL#1") { E.Sets -= OpromSets; E.Oprom = 0; }
    else if (Key == "EFI_SMBUS_HC_PROTOCOL#1") {}  // absent at that run anyway
    else if (Key == "EFI_SMBUS_HC_PROTOCOL#2" || Key == "SetupStringProtocol#2") NoExpander();
    else if (Key == "EFI_SMBIOS_PROTOCOL#1") NoSlot();
    else return false;
    return true;
  }
  if (Service == "HideString") { --E.Hides; return true; }
  if (Service == "SetString") {
    // In call order: the option-ROM strings, the labels, then the presence labels.
    --E.Sets;
    if (Occurrence <= OpromSets) {
      --E.Oprom;
    } else if (Occurrence > OpromSets + RelabelLabelSets) {
      --E.Expander;
    }
    return true;
  }
  if (Service == "SmbusExecute") { NoExpander(); return true; }
  if (Service == "GetVariable") { E.SuperIo = false; return true; }
  if (Service == "SmbiosGetNext") { NoSlot(); return true; }
  if (Service == "SmbiosUpdateString") { E.SlotRenamed = false; return true; }
  return false;
}

TEST(FaultSweep, EveryFailingCallOfAFullBootEndsInTheStateItsRuleGives) {
  const BootRun Base = BootOnce(std::nullopt);
  ASSERT_TRUE(Base.Errors.empty());
  ASSERT_EQ(Base.State, (BoardState{RelabelHides, RelabelLabelSets + OpromSets + ExpanderSets,
                                    OpromSets, ExpanderSets, true, true, true, true, 2}));
  unsigned Injected = 0, Survived = 0;
  std::map<std::string, unsigned> Seen;
  for (unsigned K = 1; K <= Base.Calls.size(); ++K) {
    const std::string &Service = Base.Calls[K - 1];
    const std::string &Detail = Base.Details[K - 1];
    const unsigned Occurrence = ++Seen[Service + "/" + Detail];
    const unsigned ServiceOccurrence = [&] {
      unsigned N = 0;
      for (unsigned I = 0; I < K; ++I) N += Base.Calls[I] == Service;
      return N;
    }();
    for (const Fault &F : FaultsFor(Service)) {
      ++Injected;
      SCOPED_TRACE("call " + std::to_string(K) + ": " + Service + "(" + Detail + ") #" +
                   std::to_string(Occurrence) + (F.NullInterface ? " NULL interface" : " fails"));
      BoardState Want;
      const unsigned Which = Service == "CreateEvent" ? ServiceOccurrence : Occurrence;
      ASSERT_TRUE(Expect(Service, Detail, Which, Base.State, Want)) << "no rule for this call";
      const BootRun R = BootOnce(std::make_pair(K, F));
      EXPECT_EQ(R.EntryStatus, EFI_SUCCESS);
      EXPECT_TRUE(R.Errors.empty()) << (R.Errors.empty() ? "" : R.Errors.front());
      EXPECT_EQ(Show(R.State), Show(Want));
      Survived += R.Errors.empty() && R.State == Want && R.EntryStatus == EFI_SUCCESS;
    }
  }
  std::printf("DXE boot: %zu service calls, %u faults injected, %u survived as the rules say\n",
              Base.Calls.size(), Injected, Survived);
  EXPECT_EQ(Injected, Survived);
}

}  // namespace
