// Carries two bytes of the "Setup" variable to Super I/O logical devices 2
// and 3: a setting of 2, 3, 5 or 6 activates its device and sets bit 1 of
// the device's register 0xF2. Runs once, at the Super I/O trigger.
#include "BoardSetupDxe.h"
#include "SetupVariable.h"
#include "SioConfigAccess.h"

namespace {

// The whole variable as the Setup form stores it.
constexpr UINTN SetupVariableSize = 5349;

struct SioDeviceSetting {
  UINTN VariableOffset;
  UINT8 LogicalDevice;
};

// Handled in this order, between one enter and one exit.
constexpr SioDeviceSetting SioDeviceSettings[] = {
    {5265, 2},
    {5266, 3},
};

constexpr UINT8 SioActivateRegister = 0x30;
constexpr UINT8 SioDeviceActive = 0x01;
constexpr UINT8 SioOptionRegister = 0xF2;
constexpr UINT8 SioOptionBit = 0x02;  // bit 1

constexpr bool SettingEnablesDevice(UINT8 Value) {
  return Value == 2 || Value == 3 || Value == 5 || Value == 6;
}

static_assert(SioDeviceSettings[1].VariableOffset < SetupVariableSize);

}  // namespace

VOID EFIAPI SioDeviceCallback(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  // A stored variable shorter than the buffer succeeds without reaching the
  // settings; cleared, they then read 0 and leave the devices alone.
  UINT8 Setup[SetupVariableSize] = {};
  UINTN DataSize = sizeof(Setup);
  UINT32 Attributes = 0;
  const EFI_STATUS Status = gBoardSetup.RuntimeServices->GetVariable(
      u"Setup", &SetupVariableGuid, &Attributes, &DataSize, Setup);

  SioEnterConfig();
  if (!EFI_ERROR(Status)) {
    for (const SioDeviceSetting &Setting : SioDeviceSettings) {
      if (!SettingEnablesDevice(Setup[Setting.VariableOffset])) {
        continue;
      }
      SioSelectDevice(Setting.LogicalDevice);
      SioWriteRegister(SioActivateRegister, SioDeviceActive);
      // Written back even when the bit is already set.
      const UINT8 Options = SioReadRegister(SioOptionRegister);
      SioWriteRegister(SioOptionRegister, Options | SioOptionBit);
    }
  }
  SioExitConfig();

  // One-shot, whatever the variable held: no retry in this boot.
  gBoardSetup.BootServices->CloseEvent(Event);
}
