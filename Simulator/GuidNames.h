// Readable names for the GUIDs the drivers use, for logs and reports.
#pragma once

#include <string>

#include "Uefi/Base.h"

namespace Sim {
// The interface's name, or the GUID in registry format when unknown.
std::string GuidName(const EFI_GUID *Guid);
}  // namespace Sim
