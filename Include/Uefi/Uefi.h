// The whole type layer.
#pragma once

#include "Uefi/Base.h"
#include "Uefi/Hob.h"
#include "Uefi/Pcd.h"
#include "Uefi/Smbios.h"
#include "Uefi/Smbus.h"
#include "Uefi/Smm.h"
#include "Uefi/SystemTable.h"
