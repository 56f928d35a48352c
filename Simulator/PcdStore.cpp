#include "Simulator/PcdStore.h"

#include "Simulator/Platform.h"

namespace Sim {

namespace {
UINT8 EFIAPI SimGet8(UINTN Token) { return static_cast<UINT8>(Platform::Current().Pcd.Get(Token)); }
UINT16 EFIAPI SimGet16(UINTN Token) {
  return static_cast<UINT16>(Platform::Current().Pcd.Get(Token));
}
UINT32 EFIAPI SimGet32(UINTN Token) { return Platform::Current().Pcd.Get(Token); }
UINT64 EFIAPI SimGet64(UINTN Token) { return Platform::Current().Pcd.Get(Token); }
}  // namespace

PcdStore::PcdStore() {
  Pcd.Get8 = SimGet8;
  Pcd.Get16 = SimGet16;
  Pcd.Get32 = SimGet32;
  Pcd.Get64 = SimGet64;
}

UINT32 PcdStore::Get(UINTN Token) {
  ReadLog.push_back(Token);
  auto It = Values.find(Token);
  return It == Values.end() ? 0 : It->second;
}

}  // namespace Sim
