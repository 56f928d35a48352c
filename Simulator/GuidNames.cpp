#include "Simulator/GuidNames.h"

#include <cstdio>

#include "BoardNicInfoProtocol.h"
#include "BoardTriggers.h"
#include "SetupStringProtocol.h"
#include "SetupVariable.h"
#include "SmmPlatform.h"
#include "Uefi/Uefi.h"

namespace Sim {

namespace {
struct Named {
  const EFI_GUID *Guid;
  const char *Name;
};
const Named Known[] = {
    {&PCD_PROTOCOL_GUID, "PCD_PROTOCOL"},
    {&SetupStringProtocolGuid, "SetupStringProtocol"},
    {&EFI_SMBUS_HC_PROTOCOL_GUID, "EFI_SMBUS_HC_PROTOCOL"},
    {&EFI_SMBIOS_PROTOCOL_GUID, "EFI_SMBIOS_PROTOCOL"},
    {&SioTriggerProtocolGuid, "SioTrigger"},
    {&SmbiosTriggerProtocolGuid, "SmbiosTrigger"},
    {&BoardNicInfoProtocolGuid, "BoardNicInfoProtocol"},
    {&RiserCardHobGuid, "RiserCardHob"},
    {&SetupVariableGuid, "SetupVariableGuid"},
    {&EFI_HOB_LIST_GUID, "HobList"},
    {&EFI_SMM_BASE2_PROTOCOL_GUID, "EFI_SMM_BASE2_PROTOCOL"},
    {&EFI_SMM_ACCESS2_PROTOCOL_GUID, "EFI_SMM_ACCESS2_PROTOCOL"},
    {&EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, "EFI_SMM_SX_DISPATCH2_PROTOCOL"},
    {&EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID, "EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL"},
    {&EFI_SMM_VARIABLE_PROTOCOL_GUID, "EFI_SMM_VARIABLE_PROTOCOL"},
    {&SmmPlatformServiceProtocolGuid, "SmmPlatformServiceProtocol"},
    {&SioAccessGateGuid, "SioAccessGate"},
    {&SmmRuntimeServicesTableGuid, "SmmRuntimeServicesTable"},
};
}  // namespace

std::string GuidName(const EFI_GUID *Guid) {
  if (Guid == nullptr) {
    return "(null)";
  }
  for (const Named &N : Known) {
    if (GuidEqual(*N.Guid, *Guid)) {
      return N.Name;
    }
  }
  char Buf[40];
  std::snprintf(Buf, sizeof(Buf), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid->Data1,
                Guid->Data2, Guid->Data3, Guid->Data4[0], Guid->Data4[1], Guid->Data4[2],
                Guid->Data4[3], Guid->Data4[4], Guid->Data4[5], Guid->Data4[6], Guid->Data4[7]);
  return Buf;
}

}  // namespace Sim
