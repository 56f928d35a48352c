// A simulated boot of the board, told as a report a firmware engineer reads.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Uefi/Base.h"

struct BootScenario {
  bool Riser = false;
  bool PcdPresent = true;
  std::map<UINTN, UINT32> Pcd;  // tokens; unset ones read 0
  bool NicsPresent = true;
  // The SMBus expander at 0x38: the byte it reports, or no answer at all.
  bool SmbusDevicePresent = true;
  UINT8 ExpanderInputs = 0xA5;
  // The stored "Setup" variable (absent when Size is 0): bytes at offsets.
  size_t SetupSize = 5349;
  std::map<size_t, UINT8> Setup = {{5265, 2}, {5266, 6}};
  // Slot IDs of the type 9 records, in table order.
  std::vector<UINT16> SlotIds = {4, 7, 5, 6};
  // The order of the four arrivals after the driver's entry.
  std::vector<std::string> Order = {"strings", "smbus", "sio", "smbios"};
};

// Options of the DXE scenario (--setup, --setup-size, --no-setup, --smbus,
// --no-smbus-device, --slots, --order). Returns 1 when Argv[I] was one of them (I
// then points at its last word), 0 when it was not, -1 when its value is
// malformed (Why says why).
int ParseBoardSetupOption(int Argc, char **Argv, int &I, BootScenario &S, std::string &Why);
extern const char BoardSetupOptionsUsage[];

// Runs the scenario; returns the number of simulator errors seen.
int RunBootReport(const BootScenario &S, std::ostream &Out);
