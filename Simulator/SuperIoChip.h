// A Super I/O chip behind index port 0x2E and data port 0x2F: the
// configuration-mode key sequence, logical-device select and per-device
// registers. Any access outside configuration mode is recorded as an error.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Uefi/Base.h"

namespace Sim {

class SuperIoChip {
 public:
  static constexpr UINT16 IndexPort = 0x2E;
  static constexpr UINT16 DataPort = 0x2F;
  static constexpr UINT8 EnterKey = 0x87;
  static constexpr UINT8 ExitKey = 0xAA;
  static constexpr UINT8 DeviceSelectRegister = 0x07;
  // Registers below this are global (shared by every logical device).
  static constexpr UINT8 FirstDeviceRegister = 0x30;
  static constexpr unsigned DeviceCount = 16;

  struct RegisterWrite {
    UINT8 Device;
    UINT8 Register;
    UINT8 Value;
  };

  bool Claims(UINT16 Port) const { return Port == IndexPort || Port == DataPort; }
  UINT8 Read(UINT16 Port);
  void Write(UINT16 Port, UINT8 Value);

  UINT8 Register(UINT8 Device, UINT8 Reg) const;
  void SetRegister(UINT8 Device, UINT8 Reg, UINT8 Value);

  bool InConfigMode() const { return ConfigMode; }
  UINT8 SelectedDevice() const { return Device; }
  const std::vector<std::string> &Errors() const { return ErrorLog; }
  const std::vector<RegisterWrite> &Writes() const { return WriteLog; }

 private:
  UINT8 &Slot(UINT8 Dev, UINT8 Reg);
  void Error(const std::string &What);

  std::array<std::array<UINT8, 256>, DeviceCount> Devices{};
  std::array<UINT8, FirstDeviceRegister> Global{};
  bool ConfigMode = false;
  unsigned KeysSeen = 0;
  UINT8 Index = 0;
  UINT8 Device = 0;
  std::vector<std::string> ErrorLog;
  std::vector<RegisterWrite> WriteLog;
};

}  // namespace Sim
