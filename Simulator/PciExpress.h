// PCI Express enhanced configuration space at 0xC0000000 and the
// memory-mapped registers of the devices in it. Functions that nobody
// placed read as all ones, as on real hardware; memory outside every
// modelled window is an error.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Uefi/Base.h"

namespace Sim {

class PciExpressSpace {
 public:
  static constexpr UINT64 Base = 0xC0000000;
  static constexpr UINT64 Size = 0x10000000;  // 256 buses
  static constexpr UINT32 NicVendorDeviceId = 0x15F28086;
  static constexpr UINT64 NicMacLowOffset = 0x40;
  static constexpr UINT64 NicMacHighOffset = 0x44;
  static constexpr UINT64 NicBarSize = 0x20000;
  static constexpr UINT8 CommandMemorySpace = 0x02;

  struct Function {
    std::array<UINT8, 4096> Config{};
    // For a NIC: its MAC, answered at BAR0 + 0x40/0x44 while memory decoding is on.
    bool IsNic = false;
    std::array<UINT8, 6> Mac{};
    std::vector<UINT8> CommandWrites;  // every byte written to register 0x04
  };

  static UINT16 Address(UINT8 Bus, UINT8 Device, UINT8 Fn) {
    return static_cast<UINT16>((Bus << 8) | ((Device & 0x1F) << 3) | (Fn & 7));
  }

  // A root port (type 1 header) whose subordinate bus is Secondary.
  Function &AddRootPort(UINT16 PciAddress, UINT8 Secondary);
  // An onboard controller with id 0x15F28086, BAR0 and a MAC.
  Function &AddNic(UINT16 PciAddress, UINT32 Bar0, const std::array<UINT8, 6> &Mac,
                   UINT8 Command = 0x07);
  // Any other device.
  Function &AddDevice(UINT16 PciAddress, UINT32 VendorDeviceId);
  Function *Find(UINT16 PciAddress);

  bool Claims(UINT64 Address) const;
  bool Read(UINT64 Address, unsigned Width, UINT32 &Value);
  bool Write(UINT64 Address, unsigned Width, UINT32 Value);
  const std::vector<std::string> &Errors() const { return ErrorLog; }

 private:
  Function *NicForBar(UINT64 Address, UINT64 &Offset);
  std::map<UINT16, std::unique_ptr<Function>> Functions;
  std::vector<std::string> ErrorLog;
};

}  // namespace Sim
