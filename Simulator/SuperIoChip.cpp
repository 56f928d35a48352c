#include "Simulator/SuperIoChip.h"

#include <cstdio>

namespace Sim {

namespace {
std::string Hex(unsigned V) {
  char Buf[16];
  std::snprintf(Buf, sizeof(Buf), "0x%02X", V);
  return Buf;
}
}  // namespace

void SuperIoChip::Error(const std::string &What) { ErrorLog.push_back(What); }

UINT8 &SuperIoChip::Slot(UINT8 Dev, UINT8 Reg) {
  if (Reg < FirstDeviceRegister) {
    return Global[Reg];
  }
  return Devices[Dev % DeviceCount][Reg];
}

UINT8 SuperIoChip::Register(UINT8 Dev, UINT8 Reg) const {
  if (Reg < FirstDeviceRegister) {
    return Global[Reg];
  }
  return Devices[Dev % DeviceCount][Reg];
}

void SuperIoChip::SetRegister(UINT8 Dev, UINT8 Reg, UINT8 Value) { Slot(Dev, Reg) = Value; }

UINT8 SuperIoChip::Read(UINT16 Port) {
  if (!ConfigMode) {
    Error("read of port " + Hex(Port) + " outside configuration mode");
    return 0xFF;
  }
  if (Port == IndexPort) {
    return Index;
  }
  if (Index == DeviceSelectRegister) {
    return Device;
  }
  return Slot(Device, Index);
}

void SuperIoChip::Write(UINT16 Port, UINT8 Value) {
  if (!ConfigMode) {
    if (Port == IndexPort && Value == EnterKey) {
      if (++KeysSeen == 2) {
        ConfigMode = true;
        KeysSeen = 0;
      }
      return;
    }
    KeysSeen = 0;
    Error("write of " + Hex(Value) + " to port " + Hex(Port) + " outside configuration mode");
    return;
  }
  if (Port == IndexPort) {
    if (Value == ExitKey) {
      ConfigMode = false;
      return;
    }
    Index = Value;
    return;
  }
  if (Index == DeviceSelectRegister) {
    if (Value >= DeviceCount) {
      Error("select of logical device " + Hex(Value) + " the chip does not have");
    }
    Device = Value;
    WriteLog.push_back({Device, Index, Value});
    return;
  }
  Slot(Device, Index) = Value;
  WriteLog.push_back({Device, Index, Value});
}

}  // namespace Sim
