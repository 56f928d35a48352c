// The simulated platform must behave like real firmware, or driver tests
// prove nothing: notification order and hold-back, event lifetime, lookups
// by registration key, variable size rules, the Super I/O key sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SetupVariable.h"
#include "Simulator/Platform.h"

namespace {

constexpr EFI_GUID TriggerGuid = {0xA1B2C3D4, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<std::string> gRuns;

VOID EFIAPI RecordA(EFI_EVENT, VOID *) { gRuns.push_back("A"); }
VOID EFIAPI RecordB(EFI_EVENT, VOID *) { gRuns.push_back("B"); }
VOID EFIAPI RecordC(EFI_EVENT, VOID *) { gRuns.push_back("C"); }
VOID EFIAPI RecordTpl(EFI_EVENT, VOID *) {
  gRuns.push_back("tpl " + std::to_string(Sim::Platform::Current().Boot.CurrentTpl()));
}

class Notify : public ::testing::Test {
 protected:
  Sim::Platform P;
  EFI_BOOT_SERVICES *Bs = P.SystemTable()->BootServices;
  void SetUp() override { gRuns.clear(); }
  EFI_EVENT Arm(EFI_EVENT_NOTIFY Fn, EFI_TPL Tpl, const EFI_GUID &Guid = TriggerGuid) {
    EFI_EVENT E = nullptr;
    EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, Tpl, Fn, nullptr, &E), EFI_SUCCESS);
    VOID *Key = nullptr;
    EXPECT_EQ(Bs->RegisterProtocolNotify(&Guid, E, &Key), EFI_SUCCESS);
    return E;
  }
  void Install() {
    static int Iface;
    EFI_HANDLE H = nullptr;
    ASSERT_EQ(Bs->InstallProtocolInterface(&H, &TriggerGuid, EFI_NATIVE_INTERFACE, &Iface),
              EFI_SUCCESS);
  }
};

TEST_F(Notify, HigherTplFirstFifoWithinATplAndRunAtTheirOwnTpl) {
  Arm(RecordA, TPL_CALLBACK);
  Arm(RecordB, TPL_NOTIFY);
  Arm(RecordC, TPL_NOTIFY);
  Arm(RecordTpl, TPL_CALLBACK);
  Install();
  EXPECT_EQ(gRuns, (std::vector<std::string>{"B", "C", "A", "tpl 8"}));
  EXPECT_EQ(P.Boot.CurrentTpl(), TPL_APPLICATION);
}

TEST_F(Notify, RaisedTplHoldsNotificationsBackUntilRestored) {
  Arm(RecordA, TPL_CALLBACK);
  Arm(RecordB, TPL_NOTIFY);
  const EFI_TPL Old = Bs->RaiseTPL(TPL_NOTIFY);
  Install();
  Install();  // a pending event is queued once
  EXPECT_TRUE(gRuns.empty());
  Bs->RestoreTPL(Old);
  EXPECT_EQ(gRuns, (std::vector<std::string>{"B", "A"}));
  // At TPL_CALLBACK only the TPL_NOTIFY event can run.
  gRuns.clear();
  const EFI_TPL Old2 = Bs->RaiseTPL(TPL_CALLBACK);
  Install();
  EXPECT_EQ(gRuns, (std::vector<std::string>{"B"}));
  Bs->RestoreTPL(Old2);
  EXPECT_EQ(gRuns, (std::vector<std::string>{"B", "A"}));
}

TEST_F(Notify, ClosingAPendingEventRemovesItAndArmingDoesNotSignal) {
  Install();  // before arming: nothing to report later
  const EFI_EVENT A = Arm(RecordA, TPL_CALLBACK);
  Arm(RecordB, TPL_CALLBACK);
  EXPECT_TRUE(gRuns.empty());
  const EFI_TPL Old = Bs->RaiseTPL(TPL_NOTIFY);
  Install();
  EXPECT_EQ(Bs->CloseEvent(A), EFI_SUCCESS);
  Bs->RestoreTPL(Old);
  EXPECT_EQ(gRuns, (std::vector<std::string>{"B"}));
  EXPECT_EQ(Bs->CloseEvent(A), EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.Errors().size(), 1u) << "a double close is visible";
}

TEST_F(Notify, LocateByRegistrationKeyReturnsEachNewInterfaceOnce) {
  EFI_EVENT E = nullptr;
  ASSERT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordA, nullptr, &E), EFI_SUCCESS);
  VOID *Key = nullptr;
  int First = 1, Second = 2;
  EFI_HANDLE H1 = nullptr, H2 = nullptr;
  ASSERT_EQ(Bs->InstallProtocolInterface(&H1, &TriggerGuid, EFI_NATIVE_INTERFACE, &First),
            EFI_SUCCESS);
  ASSERT_EQ(Bs->RegisterProtocolNotify(&TriggerGuid, E, &Key), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&H2, &TriggerGuid, EFI_NATIVE_INTERFACE, &Second),
            EFI_SUCCESS);
  VOID *Got = nullptr;
  EXPECT_EQ(Bs->LocateProtocol(&TriggerGuid, Key, &Got), EFI_SUCCESS);
  EXPECT_EQ(Got, &Second);
  EXPECT_EQ(Bs->LocateProtocol(&TriggerGuid, Key, &Got), EFI_NOT_FOUND);
  EXPECT_EQ(Got, nullptr);
  EXPECT_EQ(Bs->LocateProtocol(&TriggerGuid, nullptr, &Got), EFI_SUCCESS);
  EXPECT_EQ(Got, &First) << "without a key, the first installed wins";
  EXPECT_EQ(Bs->InstallProtocolInterface(&H1, &TriggerGuid, EFI_NATIVE_INTERFACE, &Second),
            EFI_INVALID_PARAMETER);
}

TEST_F(Notify, CreateEventRejectsWhatRealFirmwareRejects) {
  EFI_EVENT E = nullptr;
  EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, nullptr, nullptr, &E),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, RecordA, nullptr, &E),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_APPLICATION, RecordA, nullptr, &E),
            EFI_INVALID_PARAMETER);
  P.Faults.Fail("CreateEvent", P.Faults.Calls("CreateEvent") + 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecordA, nullptr, &E),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecordA, nullptr, &E), EFI_SUCCESS);
}

TEST(SimulatedVariables, GetVariableSizeRules) {
  Sim::Platform P;
  EFI_RUNTIME_SERVICES *Rt = P.SystemTable()->RuntimeServices;
  P.Variables.Set(u"Setup", SetupVariableGuid, std::vector<UINT8>(10, 0x5A));
  UINT8 Buf[16] = {};
  UINTN Size = 4;
  EXPECT_EQ(Rt->GetVariable(u"Setup", &SetupVariableGuid, nullptr, &Size, Buf),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 10u);
  EXPECT_EQ(Buf[0], 0) << "nothing copied into a short buffer";
  Size = sizeof(Buf);
  UINT32 Attributes = 0;
  EXPECT_EQ(Rt->GetVariable(u"Setup", &SetupVariableGuid, &Attributes, &Size, Buf), EFI_SUCCESS);
  EXPECT_EQ(Size, 10u);
  EXPECT_EQ(Buf[9], 0x5A);
  EXPECT_EQ(Buf[10], 0) << "bytes beyond the variable are not written";
  EXPECT_NE(Attributes, 0u);
  Size = sizeof(Buf);
  EXPECT_EQ(Rt->GetVariable(u"Other", &SetupVariableGuid, nullptr, &Size, Buf), EFI_NOT_FOUND);
  // An empty variable reads as zero bytes (found by fuzzing the SMM handler).
  P.Variables.Set(u"Empty", SetupVariableGuid, {});
  Size = sizeof(Buf);
  EXPECT_EQ(Rt->GetVariable(u"Empty", &SetupVariableGuid, nullptr, &Size, Buf), EFI_SUCCESS);
  EXPECT_EQ(Size, 0u);
}

TEST(SimulatedSuperIo, AccessOutsideConfigurationModeIsAnError) {
  Sim::SuperIoChip Chip;
  Chip.Write(Chip.DataPort, 1);
  EXPECT_EQ(Chip.Errors().size(), 1u);
  Chip.Write(Chip.IndexPort, Chip.EnterKey);
  Chip.Write(Chip.IndexPort, Chip.EnterKey);
  ASSERT_TRUE(Chip.InConfigMode());
  Chip.Write(Chip.IndexPort, Chip.DeviceSelectRegister);
  Chip.Write(Chip.DataPort, 7);
  Chip.Write(Chip.IndexPort, 0xED);
  Chip.Write(Chip.DataPort, 0x41);
  EXPECT_EQ(Chip.Register(7, 0xED), 0x41);
  EXPECT_EQ(Chip.Register(6, 0xED), 0x00) << "registers are per logical device";
  Chip.Write(Chip.IndexPort, Chip.ExitKey);
  EXPECT_FALSE(Chip.InConfigMode());
  Chip.Read(Chip.DataPort);
  EXPECT_EQ(Chip.Errors().size(), 2u);
  // One enter key followed by something else does not open the chip.
  Chip.Write(Chip.IndexPort, Chip.EnterKey);
  Chip.Write(Chip.IndexPort, 0x55);
  Chip.Write(Chip.IndexPort, Chip.EnterKey);
  EXPECT_FALSE(Chip.InConfigMode());
}

}  // namespace
