// A fresh simulated board with its SMM side, and fresh driver state, for
// each scenario of the S5 USB support driver.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SetupVariable.h"
#include "Simulator/Platform.h"
#include "UsbSupportS5Smm.h"

namespace SmmTest {

constexpr UINT16 Index = 0x2E;
constexpr UINT16 Data = 0x2F;
constexpr UINT8 UsbDevice = 0x07;
constexpr UINT8 UsbRegister = 0xED;
constexpr size_t UsbSupportSize = 57;
constexpr size_t UsbSupportByte = 48;

// The nine accesses of a full handler run: enter, select 7, read 0xED,
// write it back as Written, leave.
inline std::vector<Sim::HwAccess> FullSequence(UINT8 Read, UINT8 Written) {
  using Sim::PortRead;
  using Sim::PortWrite;
  return {PortWrite(Index, 0x87),        PortWrite(Index, 0x87),        PortWrite(Index, 0x07),
          PortWrite(Data, UsbDevice),    PortWrite(Index, UsbRegister), PortRead(Data, Read),
          PortWrite(Index, UsbRegister), PortWrite(Data, Written),      PortWrite(Index, 0xAA)};
}

inline std::string Show(const std::vector<Sim::HwAccess> &T) {
  std::string S;
  for (const auto &A : T) {
    S += "\n  " + Sim::Describe(A);
  }
  return S.empty() ? " (none)" : S;
}

}  // namespace SmmTest

class SmmBoot : public ::testing::Test {
 protected:
  Sim::Platform P;

  void SetUp() override {
    gSmmMemoryService = {};
    gSmmDriverContext = {};
  }
  void TearDown() override {
    for (const auto &E : P.Errors()) {
      ADD_FAILURE() << "simulator: " << E;
    }
  }

  EFI_STATUS Load(const Sim::SmmSetup &Setup = {}) {
    P.Smm.Build(Setup);
    return P.Smm.LoadDriver(UsbSupportS5SmmImageEntry);
  }

  // "UsbSupport" of Size bytes, byte 48 (when there is one) = Setting.
  void SetUsbSupport(UINT8 Setting, size_t Size = SmmTest::UsbSupportSize) {
    std::vector<UINT8> Bytes(Size, 0x5A);
    if (Size > SmmTest::UsbSupportByte) {
      Bytes[SmmTest::UsbSupportByte] = Setting;
    }
    P.Variables.Set(u"UsbSupport", SetupVariableGuid, Bytes);
  }
  void SetUsbRegister(UINT8 Value) {
    P.SuperIo.SetRegister(SmmTest::UsbDevice, SmmTest::UsbRegister, Value);
  }
  UINT8 UsbRegisterValue() const {
    return P.SuperIo.Register(SmmTest::UsbDevice, SmmTest::UsbRegister);
  }

  // The port accesses of one handler run.
  std::vector<Sim::HwAccess> PortsOf(const Sim::SmmModel::HandlerRun &Run) const {
    std::vector<Sim::HwAccess> Out;
    for (size_t I = Run.TraceBegin; I < Run.TraceEnd; ++I) {
      if (P.Trace[I].IsPort()) {
        Out.push_back(P.Trace[I]);
      }
    }
    return Out;
  }
  // The gate arguments of one handler run, in order (failed calls included).
  std::vector<int> GatesOf(const Sim::SmmModel::HandlerRun &Run) const {
    std::vector<int> Out;
    for (size_t I = Run.GateBegin; I < Run.GateEnd; ++I) {
      Out.push_back(P.Smm.GateCalls()[I].Acquire);
    }
    return Out;
  }
};
