// Dynamic PCD tokens, served through PCD_PROTOCOL (Get32 and friends).
#pragma once

#include <map>
#include <vector>

#include "Uefi/Pcd.h"

namespace Sim {

class PcdStore {
 public:
  PcdStore();
  PCD_PROTOCOL *Protocol() { return &Pcd; }
  void Set(UINTN Token, UINT32 Value) { Values[Token] = Value; }
  UINT32 Get(UINTN Token);
  const std::vector<UINTN> &Reads() const { return ReadLog; }

 private:
  PCD_PROTOCOL Pcd{};
  std::map<UINTN, UINT32> Values;  // unset tokens read 0
  std::vector<UINTN> ReadLog;
};

}  // namespace Sim
