// BoardNicInfoProtocol over arbitrary PCIe configuration space: the two
// root-port tokens and up to eight functions whose first 64 configuration
// bytes come from the input. Whatever the bytes, the call succeeds, leaves
// the caller's bytes 0-2 alone and restores every command register it set.
// The driver starts once per board (PreparedBoard.h); each input gives a new
// configuration space and token values, then calls the protocol.
#include <cstring>

#include "BoardSetupDxe.h"
#include "PreparedBoard.h"

namespace {
constexpr size_t HeaderBytes = 64;
constexpr size_t MaxFunctions = 8;
constexpr UINTN PcdRootPorts[] = {630, 631};

UINT32 Take32(const uint8_t *&Data, size_t &Size) {
  UINT32 V = 0;
  const size_t N = Size < 4 ? Size : 4;
  std::memcpy(&V, Data, N);
  Data += N;
  Size -= N;
  return V;
}

void StartDriver(Sim::Platform &P) {
  gBoardSetup = {};
  P.InstallPcdProtocol();
  if (P.StartImage(BoardSetupDxeEntry) != EFI_SUCCESS) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Sim::Platform &P = FuzzBoard::Prepared(StartDriver);
  P.Pci = Sim::PciExpressSpace{};
  P.Trace.clear();
  for (UINTN Token : PcdRootPorts) {
    P.Pcd.Set(Token, Take32(Data, Size));
  }
  for (size_t F = 0; F < MaxFunctions && Size >= 2 + HeaderBytes; ++F) {
    UINT16 Address;
    std::memcpy(&Address, Data, 2);
    UINT32 Id, Bar;
    std::memcpy(&Id, Data + 2, 4);
    std::memcpy(&Bar, Data + 2 + 0x10, 4);
    auto &Fn = Id == Sim::PciExpressSpace::NicVendorDeviceId
                   ? P.Pci.AddNic(Address, Bar, {1, 2, 3, 4, 5, 6})
                   : P.Pci.AddDevice(Address, Id);
    std::memcpy(Fn.Config.data(), Data + 2, HeaderBytes);
    Data += 2 + HeaderBytes;
    Size -= 2 + HeaderBytes;
  }
  UINT8 First[10] = {0xA1, 0xB2, 0xC3, 0, 0, 0, 0, 0, 0, 0};
  NicMacRecord Second{};
  if (GetNicMacAddresses(First, &Second) != EFI_SUCCESS || First[0] != 0xA1 ||
      First[1] != 0xB2 || First[2] != 0xC3 || First[3] > 1 || Second.Count > 1) {
    __builtin_trap();
  }
  return 0;
}
