// Once an SMM driver's entry has returned, the UEFI system table, boot
// services and runtime services it was handed are out of bounds: at S5 or
// at a power-button press they may be gone or hostile. Poisoning replaces
// every service slot with a trap that records an error, and points the
// system table's data pointers at an inaccessible page, so a stray use is a
// test failure instead of a silent pass.
#pragma once

#include "Uefi/SystemTable.h"

namespace Sim {

class LoadTimeTablePoison {
 public:
  LoadTimeTablePoison() = default;
  ~LoadTimeTablePoison();
  LoadTimeTablePoison(const LoadTimeTablePoison &) = delete;
  LoadTimeTablePoison &operator=(const LoadTimeTablePoison &) = delete;

  // Saves the three tables, then poisons them in place.
  void Apply(EFI_SYSTEM_TABLE *SystemTable);
  // Puts the saved tables back.
  void Lift();
  bool Applied() const { return St != nullptr; }

 private:
  EFI_SYSTEM_TABLE *St = nullptr;
  EFI_BOOT_SERVICES *Bs = nullptr;
  EFI_RUNTIME_SERVICES *Rt = nullptr;
  EFI_SYSTEM_TABLE SavedSt{};
  EFI_BOOT_SERVICES SavedBs{};
  EFI_RUNTIME_SERVICES SavedRt{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console{};
  VOID *Page = nullptr;  // mapped without access
};

}  // namespace Sim
