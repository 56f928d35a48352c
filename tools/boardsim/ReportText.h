// Words and numbers as both boot reports print them.
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

#include "Uefi/Base.h"

inline std::string Hex(UINT64 V, int Digits = 4) {
  std::ostringstream S;
  S << "0x" << std::uppercase << std::hex << std::setw(Digits) << std::setfill('0') << V;
  return S.str();
}

inline std::string StatusName(EFI_STATUS Status) {
  struct Named {
    EFI_STATUS Status;
    const char *Name;
  };
  static constexpr Named Names[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
      {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
      {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
      {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
      {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
  };
  for (const Named &N : Names) {
    if (N.Status == Status) {
      return N.Name;
    }
  }
  return Hex(Status, 16);
}
