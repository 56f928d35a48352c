#include "Simulator/SmbusController.h"

#include "Simulator/Platform.h"

namespace Sim {

namespace {

// Bytes a byte-wide transaction moves.
constexpr UINTN ByteTransferLength = 1;

SmbusController::Call Describe(EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                               EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                               BOOLEAN PecCheck, const UINTN *Length, const VOID *Buffer) {
  return {SlaveAddress.SmbusDeviceAddress,
          static_cast<UINT8>(SlaveAddress.SmbusDeviceAddress & SMBUS_ADDRESS_MASK),
          Command,
          Operation,
          PecCheck,
          Length != nullptr,
          Length != nullptr ? *Length : 0,
          Buffer != nullptr,
          Buffer != nullptr ? *static_cast<const UINT8 *>(Buffer) : UINT8{0},
          0,
          EFI_SUCCESS};
}

EFI_STATUS EFIAPI SimSmbusExecute(const EFI_SMBUS_HC_PROTOCOL *This,
                                  EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                                  EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation,
                                  BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
  Platform &P = Platform::Current();
  if (auto F = P.Faults.Check("SmbusExecute")) {
    auto C = Describe(SlaveAddress, Command, Operation, PecCheck, Length, Buffer);
    C.Status = F->Status;
    P.Smbus.Record(C);
    return F->Status;
  }
  return P.Smbus.Execute(This, SlaveAddress, Command, Operation, PecCheck, Length, Buffer);
}

}  // namespace

SmbusController::SmbusController() { Proto.Execute = SimSmbusExecute; }

void SmbusController::AddDevice(UINT8 Address) {
  Devices[Address & SMBUS_ADDRESS_MASK].Answers = true;
}

void SmbusController::AddSilentDevice(UINT8 Address) {
  Devices[Address & SMBUS_ADDRESS_MASK].Answers = false;
}

void SmbusController::SetRegister(UINT8 Address, UINT8 Command, UINT8 Value) {
  Devices[Address & SMBUS_ADDRESS_MASK].Registers[Command] = Value;
}

UINT8 SmbusController::Register(UINT8 Address, UINT8 Command) const {
  auto It = Devices.find(Address & SMBUS_ADDRESS_MASK);
  return It == Devices.end() ? 0 : It->second.Registers[Command];
}

EFI_STATUS SmbusController::Execute(const EFI_SMBUS_HC_PROTOCOL *This,
                                    EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
                                    EFI_SMBUS_DEVICE_COMMAND Command,
                                    EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck,
                                    UINTN *Length, VOID *Buffer) {
  Call C = Describe(SlaveAddress, Command, Operation, PecCheck, Length, Buffer);
  const auto Finish = [this, &C, Buffer](EFI_STATUS S) {
    C.Status = S;
    C.BufferOut = Buffer != nullptr ? *static_cast<const UINT8 *>(Buffer) : UINT8{0};
    Log.push_back(C);
    return S;
  };
  if (This != &Proto) {
    ErrorLog.push_back("Execute called with a This that is not the controller");
    return Finish(EFI_INVALID_PARAMETER);
  }
  const bool Read = Operation == EfiSmbusReadByte || Operation == EfiSmbusReceiveByte;
  const bool Write = Operation == EfiSmbusWriteByte || Operation == EfiSmbusSendByte;
  if (!Read && !Write) {
    return Finish(EFI_UNSUPPORTED);  // nothing on this bus speaks the wider protocols
  }
  if (Length == nullptr || Buffer == nullptr) {
    return Finish(EFI_INVALID_PARAMETER);
  }
  if (*Length != ByteTransferLength) {
    return Finish(EFI_BAD_BUFFER_SIZE);
  }
  if (Command > 0xFF) {
    return Finish(EFI_INVALID_PARAMETER);
  }
  auto It = Devices.find(C.Address);
  if (It == Devices.end() || !It->second.Answers) {
    return Finish(EFI_DEVICE_ERROR);  // no acknowledgement
  }
  // Receive/send byte address the device's current register, modelled as 0.
  const UINT8 Reg =
      (Operation == EfiSmbusReadByte || Operation == EfiSmbusWriteByte) ? static_cast<UINT8>(Command) : 0;
  auto *Byte = static_cast<UINT8 *>(Buffer);
  if (Read) {
    *Byte = It->second.Registers[Reg];
  } else {
    It->second.Registers[Reg] = *Byte;
  }
  *Length = ByteTransferLength;
  return Finish(EFI_SUCCESS);
}

}  // namespace Sim
