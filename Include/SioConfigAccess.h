// Super I/O configuration-port sequence, shared by both drivers. Callers
// compose these steps; each step is exactly the port accesses it names.
#pragma once

#include "Hal/IoAccess.h"

inline constexpr UINT16 SioIndexPort = 0x2E;
inline constexpr UINT16 SioDataPort = 0x2F;
inline constexpr UINT8 SioEnterKey = 0x87;  // written twice to the index port
inline constexpr UINT8 SioExitKey = 0xAA;
inline constexpr UINT8 SioLogicalDeviceSelect = 0x07;

// Two enter keys: 87 87 on the index port.
inline VOID SioEnterConfig() {
  IoWrite8(SioIndexPort, SioEnterKey);
  IoWrite8(SioIndexPort, SioEnterKey);
}

// Index 0x07, then the device number on the data port.
inline VOID SioSelectDevice(UINT8 Device) {
  IoWrite8(SioIndexPort, SioLogicalDeviceSelect);
  IoWrite8(SioDataPort, Device);
}

// Register number on the index port, then one data-port read.
inline UINT8 SioReadRegister(UINT8 Register) {
  IoWrite8(SioIndexPort, Register);
  return IoRead8(SioDataPort);
}

// Register number on the index port, then one data-port write.
inline VOID SioWriteRegister(UINT8 Register, UINT8 Value) {
  IoWrite8(SioIndexPort, Register);
  IoWrite8(SioDataPort, Value);
}

// The exit key on the index port.
inline VOID SioExitConfig() { IoWrite8(SioIndexPort, SioExitKey); }
