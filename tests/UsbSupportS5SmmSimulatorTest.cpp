// The SMM side of the simulated board must catch what the driver suites rely
// on it to catch: late use of load-time tables, frees to the wrong pool,
// port traffic outside the Super I/O gate, and the real service rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Hal/IoAccess.h"
#include "SetupVariable.h"
#include "Simulator/Platform.h"

namespace {

bool Reported(const Sim::Platform &P, const std::string &Part) {
  const auto Errors = P.Errors();
  return std::any_of(Errors.begin(), Errors.end(),
                     [&](const std::string &E) { return E.find(Part) != std::string::npos; });
}

EFI_STATUS EFIAPI DoNothingEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return EFI_SUCCESS; }

EFI_STATUS EFIAPI UngatedHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  IoWrite8(0x2E, 0x87);
  IoWrite8(0x2E, 0x87);
  IoWrite8(0x2E, 0xAA);
  return EFI_SUCCESS;
}

SIO_ACCESS_GATE *gGate = nullptr;
EFI_STATUS EFIAPI GateKeepingHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  return gGate->SioAccessGate(TRUE);
}

EFI_STATUS EFIAPI CountingHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  return EFI_SUCCESS;
}

class SmmSimulator : public ::testing::Test {
 protected:
  Sim::Platform P;
  EFI_SMM_SYSTEM_TABLE2 *Smst = P.Smm.Smst();
  void SetUp() override { P.Smm.Build(); }
  void Register(EFI_SMM_HANDLER_ENTRY_POINT2 Handler, EFI_HANDLE *Handle) {
    VOID *Sx = nullptr;
    ASSERT_EQ(Smst->SmmLocateProtocol(&EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, nullptr, &Sx),
              EFI_SUCCESS);
    const EFI_SMM_SX_REGISTER_CONTEXT S5 = {SxS5, SxEntry};
    auto *Dispatch = static_cast<EFI_SMM_SX_DISPATCH2_PROTOCOL *>(Sx);
    ASSERT_EQ(Dispatch->Register(Dispatch, Handler, &S5, Handle), EFI_SUCCESS);
  }
};

TEST_F(SmmSimulator, LoadTimeTablesArePoisonedAfterTheEntryAndCanBeLifted) {
  EFI_SYSTEM_TABLE *St = P.SystemTable();
  EFI_BOOT_SERVICES *Bs = St->BootServices;
  EFI_RUNTIME_SERVICES *Rt = St->RuntimeServices;
  ASSERT_EQ(P.Smm.LoadDriver(DoNothingEntry), EFI_SUCCESS);
  VOID *Found = &Found;
  EXPECT_EQ(Bs->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &Found), EFI_ACCESS_DENIED);
  EXPECT_EQ(Found, nullptr);
  UINTN Size = 0;
  EXPECT_EQ(Rt->GetVariable(u"UsbSupport", &SetupVariableGuid, nullptr, &Size, nullptr),
            EFI_ACCESS_DENIED);
  EXPECT_EQ(St->ConOut->OutputString(St->ConOut, u"late"), EFI_ACCESS_DENIED);
  EXPECT_TRUE(Reported(P, "boot service LocateProtocol used after"));
  EXPECT_TRUE(Reported(P, "runtime service GetVariable used after"));
  EXPECT_TRUE(Reported(P, "OutputString used after"));

  P.Smm.LiftPoison();
  EXPECT_EQ(Bs->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, P.Smm.Base2());
}

TEST_F(SmmSimulator, FreesToTheWrongPoolAreErrors) {
  VOID *SmmBuffer = nullptr;
  VOID *BootBuffer = nullptr;
  ASSERT_EQ(Smst->SmmAllocatePool(EfiRuntimeServicesData, 32, &SmmBuffer), EFI_SUCCESS);
  ASSERT_EQ(P.SystemTable()->BootServices->AllocatePool(EfiBootServicesData, 32, &BootBuffer),
            EFI_SUCCESS);
  EXPECT_TRUE(P.Smm.InSmram(SmmBuffer));
  EXPECT_EQ(Smst->SmmFreePool(BootBuffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.SystemTable()->BootServices->FreePool(SmmBuffer), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Reported(P, "SmmFreePool of a buffer the SMM pool never allocated"));
  EXPECT_TRUE(Reported(P, "FreePool of a buffer boot services never allocated"));
  VOID *Wrong = nullptr;
  EXPECT_EQ(Smst->SmmAllocatePool(EfiBootServicesData, 32, &Wrong), EFI_INVALID_PARAMETER);
}

TEST_F(SmmSimulator, PortsOutsideTheGateAndAGateKeptAreErrors) {
  EFI_HANDLE Handle = nullptr;
  Register(UngatedHandler, &Handle);
  EXPECT_EQ(P.Smm.EnterS5(), 1u);
  EXPECT_TRUE(Reported(P, "outside the SioAccessGate bracket"));

  gGate = P.Smm.Gate();
  Register(GateKeepingHandler, &Handle);
  P.Smm.EnterS5();
  EXPECT_TRUE(Reported(P, "returned holding the SioAccessGate"));
  EXPECT_FALSE(P.Smm.GateHeld()) << "the SMI's end takes the gate back";
  EXPECT_EQ(P.Smm.Gate()->SioAccessGate(FALSE), EFI_SUCCESS);
  EXPECT_TRUE(Reported(P, "SioAccessGate(FALSE) without a held gate"));
}

TEST_F(SmmSimulator, DispatchersKeepRegistrationsUntilUnregistered) {
  EFI_HANDLE Handle = nullptr;
  Register(CountingHandler, &Handle);
  EXPECT_EQ(P.Smm.EnterS5(), 1u);
  EXPECT_EQ(P.Smm.PressPowerButton(), 0u);
  VOID *Sx = nullptr;
  Smst->SmmLocateProtocol(&EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, nullptr, &Sx);
  auto *Dispatch = static_cast<EFI_SMM_SX_DISPATCH2_PROTOCOL *>(Sx);
  EXPECT_EQ(Dispatch->UnRegister(Dispatch, Handle), EFI_SUCCESS);
  EXPECT_EQ(Dispatch->UnRegister(Dispatch, Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.Smm.EnterS5(), 0u);
  const EFI_SMM_SX_REGISTER_CONTEXT Bad = {EfiMaximumSleepType, SxEntry};
  EXPECT_EQ(Dispatch->Register(Dispatch, CountingHandler, &Bad, &Handle), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(P.Errors().empty());
}

TEST_F(SmmSimulator, BaseAndAccessAnswerLikeRealFirmware) {
  EFI_SMM_SYSTEM_TABLE2 *Found = Smst;
  P.Smm.InSmm = false;
  EXPECT_EQ(P.Smm.Base2()->GetSmstLocation(P.Smm.Base2(), &Found), EFI_UNSUPPORTED);
  EXPECT_EQ(Found, nullptr);
  P.Smm.InSmm = true;
  EXPECT_EQ(P.Smm.Base2()->GetSmstLocation(P.Smm.Base2(), &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, Smst);

  EFI_SMM_ACCESS2_PROTOCOL *Access = P.Smm.Access2();
  UINTN Size = 0;
  EXPECT_EQ(Access->GetCapabilities(Access, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, P.Smm.SmramRanges.size() * sizeof(EFI_SMRAM_DESCRIPTOR));
  EFI_SMRAM_DESCRIPTOR Map[2] = {};
  EXPECT_EQ(Access->GetCapabilities(Access, &Size, Map), EFI_SUCCESS);
  EXPECT_EQ(Map[1].CpuStart, P.Smm.SmramRanges[1].CpuStart);
  EXPECT_TRUE(P.Errors().empty());
}

}  // namespace
