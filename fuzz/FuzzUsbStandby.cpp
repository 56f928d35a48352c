// The USB standby handler over arbitrary "UsbSupport" variables (any size,
// or none) and gate results, raised by either SMI. Whatever the input, every
// port access lies inside the gate (the simulator checks each run), bits 1-7
// of the register survive, and the handler returns EFI_SUCCESS.
// The driver is loaded once per board (PreparedBoard.h); each input sets the
// register, the variable and the gate's result, and raises one SMI.
#include <vector>

#include "PreparedBoard.h"
#include "SetupVariable.h"
#include "UsbSupportS5Smm.h"

namespace {
constexpr UINT8 UsbDevice = 0x07;
constexpr UINT8 UsbRegister = 0xED;
constexpr UINT8 KeptBits = 0xFE;
const EFI_STATUS GateResults[] = {EFI_SUCCESS, EFI_ACCESS_DENIED, EFI_NOT_READY, EFI_DEVICE_ERROR};

void LoadDriver(Sim::Platform &P) {
  gSmmMemoryService = {};
  gSmmDriverContext = {};
  P.Smm.Build();
  if (P.Smm.LoadDriver(UsbSupportS5SmmImageEntry) != EFI_SUCCESS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < 3) return 0;
  Sim::Platform &P = FuzzBoard::Prepared(LoadDriver);
  P.SuperIo = Sim::SuperIoChip{};
  const UINT8 Before = Data[1];
  P.SuperIo.SetRegister(UsbDevice, UsbRegister, Before);
  P.Faults.Clear();
  const EFI_STATUS Gate = GateResults[Data[0] & 3];
  if (Gate != EFI_SUCCESS) {
    FuzzBoard::FailNextCall(P, "SioAccessGate", Gate);
  }
  if ((Data[2] & 1) == 0) {
    P.Variables.Set(u"UsbSupport", SetupVariableGuid, std::vector<UINT8>(Data + 3, Data + Size));
  } else {
    P.Variables.Remove(u"UsbSupport", SetupVariableGuid);
  }
  const unsigned Ran = (Data[0] & 4) ? P.Smm.PressPowerButton() : P.Smm.EnterS5();
  const UINT8 After = P.SuperIo.Register(UsbDevice, UsbRegister);
  if (Ran != 1 || (After & KeptBits) != (Before & KeptBits) || !P.Errors().empty()) {
    __builtin_trap();
  }
  const auto &Run = P.Smm.Runs().back();
  if (Run.Status != EFI_SUCCESS || Run.PoolAllocations != 0) __builtin_trap();
  return 0;
}
