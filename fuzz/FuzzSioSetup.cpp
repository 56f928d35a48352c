// The Super I/O callback over arbitrary "Setup" variables, of any size or
// absent, and arbitrary register contents: the chip always sees one enter
// and one exit, never an access outside configuration mode, and only
// logical devices 2 and 3 are selected.
// The driver starts once per board (PreparedBoard.h); each input gives a new
// chip and variable, arms the callback as the entry does and sends the
// trigger.
#include <vector>

#include "BoardSetupDxe.h"
#include "BoardTriggers.h"
#include "PreparedBoard.h"
#include "SetupVariable.h"

namespace {
constexpr UINT8 ActivateRegister = 0x30;
constexpr UINT8 OptionRegister = 0xF2;

void StartDriver(Sim::Platform &P) {
  gBoardSetup = {};
  if (P.StartImage(BoardSetupDxeEntry) != EFI_SUCCESS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < 3) return 0;
  static bool Armed = false;  // the entry armed the first board's callback
  Sim::Platform &P = FuzzBoard::Prepared([](Sim::Platform &Board) {
    StartDriver(Board);
    Armed = true;
  });
  if (!Armed) {
    RegisterProtocolCallback(SioDeviceCallback, &SioTriggerProtocolGuid);
  }
  Armed = false;  // the callback closes its event
  P.SuperIo = Sim::SuperIoChip{};
  P.Trace.clear();
  P.SuperIo.SetRegister(2, OptionRegister, Data[0]);
  P.SuperIo.SetRegister(3, OptionRegister, Data[1]);
  // The rest is the variable; a leading odd byte means there is none.
  if ((Data[2] & 1) == 0) {
    // Stretch short inputs so that the two setting bytes are reachable.
    std::vector<UINT8> Variable(Data + 2, Data + Size);
    if ((Data[2] & 2) != 0 && Variable.size() < 5349) {
      Variable.resize(5349 - (Data[2] >> 4), Data[Size - 1]);
    }
    P.Variables.Set(u"Setup", SetupVariableGuid, Variable);
  } else {
    P.Variables.Remove(u"Setup", SetupVariableGuid);
  }
  P.InstallSioTrigger();
  const auto Ports = P.PortTrace();
  if (Ports.size() < 3 || Ports[0] != Sim::PortWrite(0x2E, 0x87) ||
      Ports[1] != Sim::PortWrite(0x2E, 0x87) || Ports.back() != Sim::PortWrite(0x2E, 0xAA) ||
      P.SuperIo.InConfigMode() || !P.Errors().empty()) {
    __builtin_trap();
  }
  for (const auto &W : P.SuperIo.Writes()) {
    const bool Select = W.Register == 0x07 && (W.Value == 2 || W.Value == 3);
    const bool Program = (W.Device == 2 || W.Device == 3) &&
                         (W.Register == ActivateRegister || W.Register == OptionRegister);
    if (!Select && !Program) __builtin_trap();
  }
  return 0;
}
