// Builds a HOB list as the pre-EFI phase leaves it: a hand-off HOB first,
// then whatever the scenario adds, then the end-of-list HOB. Raw HOBs of any
// type and length let a test build damaged lists.
#pragma once

#include <vector>

#include "Uefi/Hob.h"

namespace Sim {

class HobBuilder {
 public:
  HobBuilder();
  HobBuilder &AddGuidHob(const EFI_GUID &Name, const std::vector<UINT8> &Data);
  HobBuilder &AddRaw(UINT16 Type, UINT16 Length, const std::vector<UINT8> &Body = {});
  HobBuilder &AddRiser(UINT8 Flag);
  // Terminates the list (once) and returns its start; stable until the
  // builder is changed or destroyed.
  VOID *Finish();
  size_t Bytes() const { return Data.size(); }

 private:
  void Append(const void *Bytes, size_t N);
  std::vector<UINT8> Data;
  std::vector<UINT64> Storage;  // 8-byte aligned copy handed out
  bool Ended = false;
};

}  // namespace Sim
