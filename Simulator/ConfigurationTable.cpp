#include "Simulator/ConfigurationTable.h"

namespace Sim {

EFI_STATUS InstallConfigurationEntry(std::vector<EFI_CONFIGURATION_TABLE> &Table,
                                     const EFI_GUID *Guid, VOID *Pointer, bool &Changed) {
  Changed = false;
  if (Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto It = Table.begin(); It != Table.end(); ++It) {
    if (GuidEqual(It->VendorGuid, *Guid)) {
      if (Pointer == nullptr) {
        Table.erase(It);
      } else {
        It->VendorTable = Pointer;
      }
      Changed = true;
      return EFI_SUCCESS;
    }
  }
  if (Pointer == nullptr) {
    return EFI_NOT_FOUND;
  }
  Table.push_back({*Guid, Pointer});
  Changed = true;
  return EFI_SUCCESS;
}

}  // namespace Sim
