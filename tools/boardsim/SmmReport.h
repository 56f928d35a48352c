// The SMM side of a simulated boot: the S5 USB support driver loading into
// SMRAM, what it registered, and the Super I/O USB standby bit around an S5
// entry and a power-button press.
#pragma once

#include <ostream>

#include "Uefi/Base.h"

struct SmmScenario {
  bool UsbSupportPresent = true;
  UINT8 UsbSupport = 1;  // byte 48 of "UsbSupport"
  bool EnterS5 = true;
  bool PressPowerButton = true;
};

// Runs the scenario; returns the number of simulator errors seen.
int RunSmmReport(const SmmScenario &S, std::ostream &Out);
