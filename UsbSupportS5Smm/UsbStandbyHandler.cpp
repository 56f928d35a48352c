// The S5-entry and power-button SMI handler: applies byte 48 of "UsbSupport"
// to bit 0 of Super I/O logical device 7, register 0xED.
//
// It runs at the highest privilege, long after the load: it uses only the
// SMST and what the SMST leads to, looks everything up again on every run,
// allocates nothing, and never reads its arguments (the dispatcher fills them
// and a caller could make them point anywhere).
#include "SetupVariable.h"
#include "SioConfigAccess.h"
#include "SmmPlatform.h"
#include "UsbSupportS5Smm.h"

namespace {

// The "UsbSupport" variable as this board's Setup form stores it.
constexpr CHAR16 UsbSupportVariableName[] = u"UsbSupport";
constexpr UINTN UsbSupportVariableSize = 57;
constexpr UINTN UsbStandbyByte = 48;
static_assert(UsbStandbyByte < UsbSupportVariableSize);

// Super I/O target of the setting.
constexpr UINT8 UsbStandbyDevice = 0x07;
constexpr UINT8 UsbStandbyRegister = 0xED;
constexpr UINT8 UsbStandbyBit = 0x01;

constexpr BOOLEAN GateAcquire = TRUE;
constexpr BOOLEAN GateRelease = FALSE;

UINT8 ClearUsbStandby(UINT8 Register) { return static_cast<UINT8>(Register & ~UsbStandbyBit); }
UINT8 SetUsbStandby(UINT8 Register) { return static_cast<UINT8>(Register | UsbStandbyBit); }

// Byte 48 of "UsbSupport" -> what it does to the register, one row a value.
// Values past the table leave the bit as the hardware has it.
constexpr UINT8 (*const UsbStandbyEffect[])(UINT8 Register) = {
    ClearUsbStandby,  // 0: bit 0 cleared
    SetUsbStandby,    // 1: bit 0 set
};

UINT8 ApplyUsbStandby(UINT8 Setting, UINT8 Register) {
  if (Setting >= sizeof(UsbStandbyEffect) / sizeof(UsbStandbyEffect[0])) {
    return Register;
  }
  return UsbStandbyEffect[Setting](Register);
}

// Reads "UsbSupport" into Data; FALSE when it cannot be read as a whole.
BOOLEAN ReadUsbSupport(EFI_SMM_SYSTEM_TABLE2 *Smst, UINT8 (&Data)[UsbSupportVariableSize]) {
  UINTN DataSize = UsbSupportVariableSize;
  VOID *Interface = nullptr;
  if (EFI_ERROR(Smst->SmmLocateProtocol(&EFI_SMM_VARIABLE_PROTOCOL_GUID, nullptr, &Interface)) ||
      Interface == nullptr) {
    return FALSE;
  }
  auto *Variable = static_cast<EFI_SMM_VARIABLE_PROTOCOL *>(Interface);
  return !EFI_ERROR(Variable->SmmGetVariable(UsbSupportVariableName, &SetupVariableGuid, nullptr,
                                             &DataSize, Data));
}

}  // namespace

EFI_STATUS EFIAPI UsbStandbyHandler(EFI_HANDLE DispatchHandle, const VOID *Context,
                                    VOID *CommBuffer, UINTN *CommBufferSize) {
  (VOID)DispatchHandle;
  (VOID)Context;
  (VOID)CommBuffer;
  (VOID)CommBufferSize;

  // A variable shorter than 49 bytes leaves byte 48 at this zero.
  UINT8 UsbSupport[UsbSupportVariableSize];
  for (UINT8 &Byte : UsbSupport) {
    Byte = 0;
  }

  EFI_SMM_SYSTEM_TABLE2 *Smst = gSmmDriverContext.Smst;
  if (Smst == nullptr) {
    return EFI_SUCCESS;
  }
  const auto *Gate =
      static_cast<const SIO_ACCESS_GATE *>(FindSmmConfigurationTable(&SioAccessGateGuid));
  if (Gate == nullptr || Gate->SioAccessGate == nullptr) {
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Gate->SioAccessGate(GateAcquire))) {
    return EFI_SUCCESS;  // the ports are someone else's now; not ours to release
  }

  if (ReadUsbSupport(Smst, UsbSupport)) {
    SioEnterConfig();
    SioSelectDevice(UsbStandbyDevice);
    const UINT8 Value = SioReadRegister(UsbStandbyRegister);
    SioWriteRegister(UsbStandbyRegister, ApplyUsbStandby(UsbSupport[UsbStandbyByte], Value));
    SioExitConfig();
  }

  Gate->SioAccessGate(GateRelease);
  return EFI_SUCCESS;
}
