// Vendor GUID under which the platform's Setup form stores its variables
// ("Setup", "UsbSupport").
#pragma once

#include "Uefi/Base.h"

inline constexpr EFI_GUID SetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
