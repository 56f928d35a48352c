// The install rules shared by the system and SMM configuration tables: a
// known GUID gets its pointer replaced (or the entry removed with NULL), a
// new one is appended.
#pragma once

#include <vector>

#include "Uefi/SystemTable.h"

namespace Sim {

// Returns the status the firmware service returns; Changed tells the caller
// to republish the table.
EFI_STATUS InstallConfigurationEntry(std::vector<EFI_CONFIGURATION_TABLE> &Table,
                                     const EFI_GUID *Guid, VOID *Pointer, bool &Changed);

}  // namespace Sim
