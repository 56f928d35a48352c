// The HOB walk over arbitrary lists. The pre-EFI phase owns the list, so
// the driver cannot know its size: the bytes are followed by a region that
// reads as end-of-list, larger than any single HobLength can jump.
// The driver starts once per board (PreparedBoard.h); each input is
// published as the HOB list and the driver looks it up afresh.
#include <cstring>
#include <vector>

#include "BoardSetupDxe.h"
#include "BoardTriggers.h"
#include "PreparedBoard.h"

namespace {
constexpr size_t EndRegion = 0x10000 + sizeof(EFI_HOB_GUID_TYPE) + 8;
constexpr EFI_GUID Probe = {0x0BADF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

void StartDriver(Sim::Platform &P) {
  gBoardSetup = {};
  if (P.StartImage(BoardSetupDxeEntry) != EFI_SUCCESS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Sim::Platform &P = FuzzBoard::Prepared(StartDriver);
  // One region for every run (filling a fresh one each time dominated the
  // run time); the bytes a run used are set back to end-of-list after it.
  static std::vector<UINT64> Memory;
  if (Memory.size() * 8 < Size + EndRegion) {
    Memory.assign((Size + EndRegion + 7) / 8, ~UINT64{0});
  }
  auto *Bytes = reinterpret_cast<UINT8 *>(Memory.data());
  std::memcpy(Bytes, Data, Size);
  struct Restore {
    UINT8 *Bytes;
    size_t Size;
    ~Restore() { std::memset(Bytes, 0xFF, Size); }
  } Restorer{Bytes, Size};
  P.Boot.InstallConfigurationTable(&EFI_HOB_LIST_GUID, Memory.data());
  gBoardSetup.HobList = nullptr;  // found in the configuration table again
  const BOOLEAN Fitted = RiserFitted();
  const EFI_HOB_GUID_TYPE *Riser = FindGuidHob(&RiserCardHobGuid);
  if (Fitted && Riser == nullptr) {
    __builtin_trap();
  }
  (void)FindGuidHob(&Probe);
  return 0;
}
