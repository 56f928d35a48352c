// The stand-in's dependency expression, as the application expects to read
// it back from the firmware volume.
#include "DxeStandInRecord.h"
#include "BoardNicInfoProtocol.h"
#include "FirmwareFiles.h"
#include "Uefi/Hii.h"
#include "Uefi/Smbios.h"

const EFI_GUID *const DxeStandInDepex[DxeStandInDepexCount] = {
    &BoardNicInfoProtocolGuid,
    &EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID,
    &EFI_SMBIOS_PROTOCOL_GUID,
    &PCD_PROTOCOL_GUID,
    &EFI_HII_DATABASE_PROTOCOL_GUID,
};
