// Super I/O device options: the two "Setup" bytes carried to logical
// devices 2 and 3, checked as the chip sees them, access by access.
#include <algorithm>

#include "BoardSetupFixture.h"
#include "SetupVariable.h"

namespace {

using Sim::PortRead;
using Sim::PortWrite;

constexpr size_t Device2Byte = 5265;
constexpr size_t Device3Byte = 5266;
constexpr UINT8 OptionRegister = 0xF2;
constexpr UINT16 Index = 0x2E;
constexpr UINT16 Data = 0x2F;

struct Programmed {
  UINT8 Device;
  UINT8 OptionsRead;  // what register 0xF2 holds before the callback
};

// The exact traffic of one run.
std::vector<Sim::HwAccess> Expected(const std::vector<Programmed> &Devices) {
  std::vector<Sim::HwAccess> T = {PortWrite(Index, 0x87), PortWrite(Index, 0x87)};
  for (const Programmed &D : Devices) {
    T.insert(T.end(), {PortWrite(Index, 0x07), PortWrite(Data, D.Device), PortWrite(Index, 0x30),
                       PortWrite(Data, 0x01), PortWrite(Index, OptionRegister),
                       PortRead(Data, D.OptionsRead), PortWrite(Index, OptionRegister),
                       PortWrite(Data, static_cast<UINT8>(D.OptionsRead | 0x02))});
  }
  T.push_back(PortWrite(Index, 0xAA));
  return T;
}

std::string Show(const std::vector<Sim::HwAccess> &T) {
  std::string S;
  for (const auto &A : T) {
    S += "  " + Sim::Describe(A) + "\n";
  }
  return S;
}

class SuperIo : public BoardBoot {
 protected:
  void Boot() {
    LoadDriver();
    P.InstallSioTrigger();
  }
  bool EventOpen() const {
    return std::any_of(P.Boot.Events().begin(), P.Boot.Events().end(), [](const auto &E) {
      return E->Notify == SioDeviceCallback && !E->Closed;
    });
  }
  void ExpectTrace(const std::vector<Sim::HwAccess> &Want) {
    EXPECT_EQ(P.PortTrace(), Want) << "got:\n" << Show(P.PortTrace()) << "want:\n" << Show(Want);
    EXPECT_FALSE(P.SuperIo.InConfigMode());
  }
};

struct SettingCase {
  const char *Name;
  UINT8 Device2Setting;
  UINT8 Device3Setting;
  std::vector<UINT8> DevicesProgrammed;
};

class SuperIoSettings : public SuperIo, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(SuperIoSettings, OnlyAcceptedValuesReachTheirDevice) {
  const SettingCase &C = GetParam();
  P.StoreSetupVariable(SetupSize, {{Device2Byte, C.Device2Setting}, {Device3Byte, C.Device3Setting}});
  Boot();
  std::vector<Programmed> Want;
  for (UINT8 D : C.DevicesProgrammed) {
    Want.push_back({D, 0x00});
  }
  ExpectTrace(Expected(Want));
  for (UINT8 D : {UINT8{2}, UINT8{3}}) {
    const bool On = std::count(C.DevicesProgrammed.begin(), C.DevicesProgrammed.end(), D) != 0;
    EXPECT_EQ(P.SuperIo.Register(D, 0x30), On ? 0x01 : 0x00) << "device " << int{D};
    EXPECT_EQ(P.SuperIo.Register(D, OptionRegister), On ? 0x02 : 0x00) << "device " << int{D};
  }
  EXPECT_FALSE(EventOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Values, SuperIoSettings,
    ::testing::Values(SettingCase{"BothZero", 0, 0, {}},
                      SettingCase{"FourAndFive", 4, 5, {3}},
                      SettingCase{"TwoAndSix", 2, 6, {2, 3}},
                      SettingCase{"ThreeAndTwo", 3, 2, {2, 3}},
                      SettingCase{"FiveAndFour", 5, 4, {2}},
                      SettingCase{"OneAndSeven", 1, 7, {}},
                      SettingCase{"HighValues", 0x82, 0xFF, {}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(SuperIo, OptionBitIsSetByReadModifyWriteAndAlwaysWrittenBack) {
  P.StoreSetupVariable(SetupSize, {{Device2Byte, 2}, {Device3Byte, 6}});
  P.SuperIo.SetRegister(2, OptionRegister, 0xFD);
  P.SuperIo.SetRegister(3, OptionRegister, 0x02);
  Boot();
  ExpectTrace(Expected({{2, 0xFD}, {3, 0x02}}));
  EXPECT_EQ(P.SuperIo.Register(2, OptionRegister), 0xFF);
  EXPECT_EQ(P.SuperIo.Register(3, OptionRegister), 0x02);
}

TEST_F(SuperIo, ReadsTheWholeSetupVariableIntoItsBuffer) {
  P.StoreSetupVariable(SetupSize, {});
  Boot();
  ASSERT_EQ(P.Variables.Reads().size(), 1u);
  EXPECT_EQ(P.Variables.Reads()[0].Name, u"Setup");
  EXPECT_EQ(P.Variables.Reads()[0].SizeIn, SetupSize);
  EXPECT_EQ(P.Variables.Reads()[0].Status, EFI_SUCCESS);
}

struct VariableCase {
  const char *Name;
  size_t Size;  // 0: no "Setup" variable
  std::vector<UINT8> DevicesProgrammed;
};

class SuperIoVariable : public SuperIo, public ::testing::WithParamInterface<VariableCase> {};

// Both settings ask for action wherever the variable reaches them.
TEST_P(SuperIoVariable, ActsOnlyOnBytesTheVariableSupplied) {
  const VariableCase &C = GetParam();
  if (C.Size != 0) {
    std::vector<std::pair<size_t, UINT8>> Bytes;
    for (size_t Offset : {Device2Byte, Device3Byte}) {
      if (Offset < C.Size) {
        Bytes.push_back({Offset, 2});
      }
    }
    P.StoreSetupVariable(C.Size, Bytes);
  }
  Boot();
  std::vector<Programmed> Want;
  for (UINT8 D : C.DevicesProgrammed) {
    Want.push_back({D, 0x00});
  }
  ExpectTrace(Expected(Want));
  EXPECT_FALSE(EventOpen()) << "closed on every path";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SuperIoVariable,
    ::testing::Values(VariableCase{"Absent", 0, {}},
                      VariableCase{"OneByteTooLarge", SetupSize + 1, {}},
                      VariableCase{"ShortOfBothSettings", 100, {}},
                      VariableCase{"EndsAfterTheFirstSetting", Device2Byte + 1, {2}},
                      VariableCase{"EndsAfterTheSecondSetting", Device3Byte + 1, {2, 3}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(SuperIo, AFailingReadGivesTheKeysOnly) {
  P.StoreSetupVariable(SetupSize, {{Device2Byte, 2}, {Device3Byte, 2}});
  P.Faults.FailAll("GetVariable", EFI_DEVICE_ERROR);
  Boot();
  ExpectTrace(Expected({}));
  EXPECT_FALSE(EventOpen());
}

TEST_F(SuperIo, RunsOnceAtTheFirstTriggerAfterEntry) {
  P.StoreSetupVariable(SetupSize, {{Device2Byte, 2}});
  P.InstallSioTrigger();  // before entry: not seen
  LoadDriver();
  EXPECT_TRUE(P.PortTrace().empty());
  P.InstallSioTrigger();
  P.InstallSioTrigger();
  ExpectTrace(Expected({{2, 0x00}}));
}

}  // namespace
