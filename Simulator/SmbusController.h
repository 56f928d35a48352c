// An SMBus host controller (EFI_SMBUS_HC_PROTOCOL) with the devices on its
// bus. A device answers byte reads and writes from its register file; a
// device that does not answer, or an address with no device, gives no
// acknowledgement (EFI_DEVICE_ERROR). Every Execute is recorded with the
// arguments exactly as they came in.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "Uefi/Smbus.h"

namespace Sim {

class SmbusController {
 public:
  struct Call {
    UINTN RawAddress;  // the whole address word, reserved bits included
    UINT8 Address;     // the 7-bit address the controller puts on the bus
    EFI_SMBUS_DEVICE_COMMAND Command;
    EFI_SMBUS_OPERATION Operation;
    BOOLEAN PecCheck;
    bool HasLength;
    UINTN LengthIn;
    bool HasBuffer;
    UINT8 BufferIn;   // first buffer byte before the call
    UINT8 BufferOut;  // and after it
    EFI_STATUS Status;
  };

  SmbusController();
  EFI_SMBUS_HC_PROTOCOL *Protocol() { return &Proto; }

  // A device at Address; every register reads 0 until set.
  void AddDevice(UINT8 Address);
  // A device that is fitted but never acknowledges (held in reset, hung).
  void AddSilentDevice(UINT8 Address);
  void SetRegister(UINT8 Address, UINT8 Command, UINT8 Value);
  UINT8 Register(UINT8 Address, UINT8 Command) const;

  EFI_STATUS Execute(const EFI_SMBUS_HC_PROTOCOL *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                     EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                     BOOLEAN PecCheck, UINTN *Length, VOID *Buffer);
  // The recording half of Execute, for a call the fault injector answers.
  void Record(Call C) { Log.push_back(C); }

  const std::vector<Call> &Calls() const { return Log; }
  const std::vector<std::string> &Errors() const { return ErrorLog; }

 private:
  struct Device {
    bool Answers = true;
    std::array<UINT8, 256> Registers{};
  };
  EFI_SMBUS_HC_PROTOCOL Proto{};
  std::map<UINT8, Device> Devices;
  std::vector<Call> Log;
  std::vector<std::string> ErrorLog;
};

}  // namespace Sim
