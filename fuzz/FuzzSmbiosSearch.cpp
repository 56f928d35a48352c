// The riser slot search over arbitrary SMBIOS tables and GetNext results:
// records of any type, length and strings, and one GetNext call (chosen by
// the input) that fails. Whatever the table, the callback never touches a
// record after its update nor one GetNext did not hand out, and closes its
// event once the SMBIOS protocol was found.
// The driver starts once per board, the SMBIOS protocol already there
// (PreparedBoard.h); each input gives a new SMBIOS store and HOB list, arms
// the callback as the entry does and sends the trigger.
#include <string>
#include <vector>

#include "BoardSetupDxe.h"
#include "BoardTriggers.h"
#include "PreparedBoard.h"

namespace {
constexpr size_t MaxRecords = 12;
constexpr size_t MaxStrings = 3;
constexpr size_t MaxStringLength = 12;
constexpr size_t HeaderSize = sizeof(EFI_SMBIOS_TABLE_HEADER);

struct Input {
  const uint8_t *Data;
  size_t Size;
  uint8_t Byte() {
    if (Size == 0) return 0;
    --Size;
    return *Data++;
  }
};

void StartDriver(Sim::Platform &P) {
  gBoardSetup = {};
  P.InstallSmbiosProtocol();
  if (P.StartImage(BoardSetupDxeEntry) != EFI_SUCCESS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static bool Armed = false;  // the entry armed the first board's callback
  Sim::Platform &P = FuzzBoard::Prepared([](Sim::Platform &Board) {
    StartDriver(Board);
    Armed = true;
  });
  if (!Armed) {
    RegisterProtocolCallback(SmbiosRiserSlotCallback, &SmbiosTriggerProtocolGuid);
  }
  Armed = false;  // the callback closes its event: the protocol is there
  FuzzBoard::Renew(P.Smbios);
  P.Hobs = Sim::HobBuilder{};
  P.Faults.Clear();
  Input In{Data, Size};
  const uint8_t FailingGetNext = In.Byte() % 8;  // 0: none
  const uint8_t Riser = In.Byte() & 1;
  for (size_t R = 0; R < MaxRecords && In.Size > 0; ++R) {
    const size_t Length = HeaderSize + In.Byte() % 0x20;
    std::vector<UINT8> Formatted(Length);
    for (size_t I = 0; I < Length; ++I) Formatted[I] = In.Byte();
    Formatted[0] = (Formatted[0] & 1) ? SMBIOS_TYPE_SYSTEM_SLOTS : Formatted[0];
    Formatted[1] = static_cast<UINT8>(Length);
    std::vector<std::string> Strings;
    const size_t Count = In.Byte() % (MaxStrings + 1);
    for (size_t S = 0; S < Count; ++S) {
      std::string Text(1 + In.Byte() % MaxStringLength, 'x');
      for (char &C : Text) C = static_cast<char>(1 + In.Byte() % 0x7E);
      Strings.push_back(Text);
    }
    P.Smbios.AddRaw(Formatted, Strings);
  }
  const unsigned GetNextBefore = P.Faults.Calls("SmbiosGetNext");
  if (FailingGetNext != 0) {
    P.Faults.Fail("SmbiosGetNext", GetNextBefore + FailingGetNext, EFI_DEVICE_ERROR);
  }
  P.Hobs.AddRiser(Riser);
  P.PublishHobList();
  gBoardSetup.HobList = nullptr;  // found in the configuration table again
  const size_t ArmedEvents = P.Boot.LiveEvents();
  P.InstallSmbiosTrigger();
  if (P.Boot.LiveEvents() != ArmedEvents - 1 || P.Faults.Calls("SmbiosGetNext") - GetNextBefore > 5 ||
      P.Smbios.Updates() > 1 || !P.Errors().empty()) {
    __builtin_trap();
  }
  return 0;
}
