// A simulated boot of the board, told as a report a firmware engineer reads.
#pragma once

#include <map>
#include <ostream>
#include <string>

#include "Uefi/Base.h"

struct BootScenario {
  bool Riser = false;
  bool PcdPresent = true;
  std::map<UINTN, UINT32> Pcd;  // tokens; unset ones read 0
  bool NicsPresent = true;
};

// Runs the scenario; returns the number of simulator errors seen.
int RunBootReport(const BootScenario &S, std::ostream &Out);
