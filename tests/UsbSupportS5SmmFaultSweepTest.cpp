// The SMM driver's load, an S5 entry and a power-button press, then the same
// scenario once per platform service call with that call failing (every
// error the service can return; for lookups also success with a NULL
// interface). Each run must end without a crash or simulator error, with
// the load status, registrations, SMRAM map and Super I/O bit its rule gives.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "UsbSupportS5SmmFixture.h"

namespace {

using Sim::Fault;

constexpr UINT8 RegisterBefore = 0x40;

struct SmmState {
  EFI_STATUS LoadStatus = EFI_SUCCESS;
  size_t SxRegistered = 0;
  size_t PowerButtonRegistered = 0;
  bool MapKept = false;
  size_t PoolLeft = 0;         // SMM pool still allocated after the load
  UINT8 AfterS5 = 0;           // LDN 7 register 0xED after the S5 entry
  UINT8 AfterPowerButton = 0;  // ... after the power-button press
  bool operator==(const SmmState &) const = default;
};

std::string Show(const SmmState &S) {
  char Buf[160];
  std::snprintf(Buf, sizeof(Buf),
                "load 0x%llX sx %zu pb %zu map %d pool %zu after-s5 0x%02X after-pb 0x%02X",
                static_cast<unsigned long long>(S.LoadStatus), S.SxRegistered,
                S.PowerButtonRegistered, S.MapKept, S.PoolLeft, S.AfterS5, S.AfterPowerButton);
  return Buf;
}

struct SmmRun {
  SmmState State;
  std::vector<std::string> Calls, Details, Errors;
};

void SetUsbSupport(Sim::Platform &P, UINT8 Setting) {
  std::vector<UINT8> Bytes(SmmTest::UsbSupportSize, 0);
  Bytes[SmmTest::UsbSupportByte] = Setting;
  P.Variables.Set(u"UsbSupport", SetupVariableGuid, Bytes);
}

// Setting 1 at the S5 entry, 0 at the power-button press.
SmmRun Scenario(const std::optional<std::pair<unsigned, Fault>> &Inject) {
  Sim::Platform P;
  gSmmMemoryService = {};
  gSmmDriverContext = {};
  P.Smm.Build();
  P.SuperIo.SetRegister(SmmTest::UsbDevice, SmmTest::UsbRegister, RegisterBefore);
  if (Inject) {
    P.Faults.FailGlobal(Inject->first, Inject->second);
  }
  SmmRun R;
  SmmState &S = R.State;
  S.LoadStatus = P.Smm.LoadDriver(UsbSupportS5SmmImageEntry);
  S.SxRegistered = P.Smm.SxRegistrations().size();
  S.PowerButtonRegistered = P.Smm.PowerButtonRegistrations().size();
  S.MapKept = gSmmMemoryService.SmramMap != nullptr;
  S.PoolLeft = P.Smm.PoolInUse();
  SetUsbSupport(P, 1);
  P.Smm.EnterS5();
  S.AfterS5 = P.SuperIo.Register(SmmTest::UsbDevice, SmmTest::UsbRegister);
  SetUsbSupport(P, 0);
  P.Smm.PressPowerButton();
  S.AfterPowerButton = P.SuperIo.Register(SmmTest::UsbDevice, SmmTest::UsbRegister);
  R.Calls = P.Faults.CallLog();
  R.Details = P.Faults.CallDetails();
  R.Errors = P.Errors();
  return R;
}

std::vector<Fault> FaultsFor(const std::string &Service) {
  static const std::map<std::string, std::vector<EFI_STATUS>> Statuses = {
      {"LocateProtocol", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"SmmLocateProtocol", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"InSmm", {EFI_INVALID_PARAMETER, EFI_UNSUPPORTED}},
      {"GetSmstLocation", {EFI_UNSUPPORTED, EFI_INVALID_PARAMETER}},
      {"GetCapabilities", {EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR}},
      {"SmmAllocatePool", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"SmmFreePool", {EFI_INVALID_PARAMETER}},
      {"FreePool", {EFI_INVALID_PARAMETER}},
      {"SxRegister", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"PowerButtonRegister", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"SmmGetVariable", {EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR}},
      {"SioAccessGate", {EFI_ACCESS_DENIED, EFI_NOT_READY}},
  };
  std::vector<Fault> Out;
  if (auto It = Statuses.find(Service); It != Statuses.end()) {
    for (EFI_STATUS S : It->second) {
      Out.push_back({S, false});
    }
  }
  if (Service == "LocateProtocol" || Service == "SmmLocateProtocol" ||
      Service == "GetSmstLocation") {
    Out.push_back({EFI_SUCCESS, true});
  }
  return Out;
}

// The failure rules. Occurrence counts calls of the same service (and, for
// lookups, of the same protocol) from the start of the scenario.
bool Expect(const std::string &Service, const std::string &Detail, unsigned Occurrence,
            const Fault &F, const SmmState &Base, SmmState &E) {
  E = Base;
  const std::string Key = Service + "(" + Detail + ")#" + std::to_string(Occurrence);
  const auto NoMap = [&] { E.MapKept = false; E.PoolLeft = 0; };
  const auto NothingRegistered = [&] {
    E.SxRegistered = E.PowerButtonRegistered = 0;
    E.AfterS5 = E.AfterPowerButton = RegisterBefore;
  };
  const auto LoadFails = [&](EFI_STATUS Status) {
    E.LoadStatus = Status;
    NoMap();  // freed on the way out
  };
  const EFI_STATUS Injected = F.NullInterface ? EFI_NOT_FOUND : F.Status;
  // The memory-service initialisation: without its inputs there is no map.
  if (Key == "LocateProtocol(EFI_SMM_BASE2_PROTOCOL)#1" || Key == "GetSmstLocation()#1" ||
      Key == "LocateProtocol(EFI_SMM_ACCESS2_PROTOCOL)#1" || Key == "GetCapabilities()#1" ||
      Key == "GetCapabilities()#2" || Key == "SmmAllocatePool()#1") {
    NoMap();
    return true;
  }
  // The context initialisation of the driver entry.
  if (Key == "LocateProtocol(EFI_SMM_BASE2_PROTOCOL)#2") {
    LoadFails(Injected);
    NothingRegistered();
    return true;
  }
  if (Key == "InSmm()#1" || Key == "InSmm()#2") {
    NothingRegistered();  // reads as "not in SMM": success, map kept
    return true;
  }
  if (Key == "GetSmstLocation()#2") {
    if (!F.NullInterface) {
      LoadFails(F.Status);
      NothingRegistered();
    }  // no SMST yet: the registration run gets one and loads normally
    return true;
  }
  if (Key == "SmmLocateProtocol(SmmPlatformServiceProtocol)#1") {
    return true;  // the registration run looks again and finds it
  }
  // The context initialisation of the registration step.
  if (Key == "GetSmstLocation()#3") {
    LoadFails(F.NullInterface ? EFI_UNSUPPORTED : F.Status);
    NothingRegistered();
    return true;
  }
  if (Key == "SmmLocateProtocol(EFI_SMM_SX_DISPATCH2_PROTOCOL)#1") {
    NothingRegistered();
    return true;
  }
  if (Key == "SxRegister()#1") {
    LoadFails(F.Status);
    NothingRegistered();
    return true;
  }
  if (Key == "SmmLocateProtocol(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL)#1") {
    E.PowerButtonRegistered = 0;
    E.AfterPowerButton = E.AfterS5;
    return true;
  }
  if (Key == "PowerButtonRegister()#1") {
    LoadFails(F.Status);
    NothingRegistered();  // the S5 registration is withdrawn with the failed load
    return true;
  }
  // Handler runs: 1 at the S5 entry, 2 at the power-button press. A failed
  // lookup, read or gate acquisition leaves the register as it was.
  const auto RunFails = [&](unsigned Run) {
    if (Run == 1) {
      E.AfterS5 = RegisterBefore;
    } else {
      E.AfterPowerButton = E.AfterS5;
    }
  };
  if (Service == "SmmLocateProtocol" && Detail == "EFI_SMM_VARIABLE_PROTOCOL") {
    RunFails(Occurrence);
    return true;
  }
  if (Service == "SmmGetVariable") {
    RunFails(Occurrence);
    return true;
  }
  if (Service == "SioAccessGate") {
    // Calls 1 and 3 acquire the gate; 2 and 4 release it (status unread).
    if (Occurrence % 2 == 1) {
      RunFails((Occurrence + 1) / 2);
    }
    return true;
  }
  return false;
}

TEST(SmmFaultSweep, EveryFailingCallOfLoadS5AndPowerButtonEndsAsItsRuleSays) {
  const SmmRun Base = Scenario(std::nullopt);
  ASSERT_TRUE(Base.Errors.empty()) << Base.Errors.front();
  ASSERT_EQ(Show(Base.State), Show(SmmState{EFI_SUCCESS, 1, 1, true, 1, RegisterBefore | 1,
                                            RegisterBefore}));
  unsigned Injected = 0, Survived = 0;
  std::map<std::string, unsigned> Seen;
  for (unsigned K = 1; K <= Base.Calls.size(); ++K) {
    const std::string &Service = Base.Calls[K - 1];
    const std::string &Detail = Base.Details[K - 1];
    const unsigned Occurrence = ++Seen[Service + "(" + Detail + ")"];
    for (const Fault &F : FaultsFor(Service)) {
      ++Injected;
      SCOPED_TRACE("call " + std::to_string(K) + ": " + Service + "(" + Detail + ") #" +
                   std::to_string(Occurrence) + (F.NullInterface ? " NULL" : " fails"));
      SmmState Want;
      ASSERT_TRUE(Expect(Service, Detail, Occurrence, F, Base.State, Want)) << "no rule";
      const SmmRun R = Scenario(std::make_pair(K, F));
      EXPECT_TRUE(R.Errors.empty()) << (R.Errors.empty() ? "" : R.Errors.front());
      EXPECT_EQ(Show(R.State), Show(Want));
      Survived += R.Errors.empty() && R.State == Want;
    }
  }
  std::printf("SMM load + S5 + power button: %zu service calls, %u faults injected, %u survived "
              "as the rules say\n",
              Base.Calls.size(), Injected, Survived);
  EXPECT_EQ(Injected, Survived);
}

}  // namespace
