// The simulated board: everything BoardSetupDxe and UsbSupportS5Smm meet at
// boot, owned by one object. Its firmware-facing tables are real function
// tables (EFIAPI), so the drivers run unchanged against it. Exactly one
// Platform is current at a time; the trampolines and the hardware seam
// route to it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Simulator/BootServices.h"
#include "Simulator/FaultInjector.h"
#include "Simulator/HardwareTrace.h"
#include "Simulator/HobBuilder.h"
#include "Simulator/PciExpress.h"
#include "Simulator/PcdStore.h"
#include "Simulator/SetupStringStore.h"
#include "Simulator/SmbiosStore.h"
#include "Simulator/SmbusController.h"
#include "Simulator/SmmModel.h"
#include "Simulator/SuperIoChip.h"
#include "Simulator/VariableStore.h"

namespace Sim {

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  static Platform &Current();

  FaultInjector Faults;
  std::vector<HwAccess> Trace;
  BootServicesModel Boot;
  VariableStore Variables;
  PcdStore Pcd;
  SetupStringStore SetupStrings;
  PciExpressSpace Pci;
  SuperIoChip SuperIo;
  HobBuilder Hobs;
  SmbusController Smbus;
  SmbiosStore Smbios;
  SmmModel Smm;  // SMRAM, the SMST and what it leads to

  EFI_SYSTEM_TABLE *SystemTable() { return &St; }

  // Misuse the tests must see: collected from every model.
  void Error(const std::string &What) { OwnErrors.push_back(What); }
  std::vector<std::string> Errors() const;

  // --- scenario steps, as the rest of the firmware would perform them -----
  // Publishes Hobs in the configuration table under the HOB-list GUID.
  void PublishHobList();
  // Installs Interface on a new handle through boot services, so armed
  // notifications fire exactly as they would on real firmware.
  EFI_HANDLE InstallProtocol(const EFI_GUID &Guid, VOID *Interface);
  EFI_HANDLE InstallPcdProtocol() { return InstallProtocol(PCD_PROTOCOL_GUID, Pcd.Protocol()); }
  EFI_HANDLE InstallSetupStringProtocol();
  EFI_HANDLE InstallSmbusProtocol() { return InstallProtocol(EFI_SMBUS_HC_PROTOCOL_GUID, Smbus.Protocol()); }
  EFI_HANDLE InstallSmbiosProtocol() { return InstallProtocol(EFI_SMBIOS_PROTOCOL_GUID, Smbios.Protocol()); }
  // The two triggers only matter by their arrival; each call installs the
  // trigger once more, on a new handle.
  EFI_HANDLE InstallSioTrigger();
  EFI_HANDLE InstallSmbiosTrigger();
  // Stores "Setup" as the Setup form would: Size bytes, zero but for Bytes.
  void StoreSetupVariable(size_t Size, const std::vector<std::pair<size_t, UINT8>> &Bytes);
  // A new image handle and a call of the entry point at TPL_APPLICATION.
  EFI_STATUS StartImage(EFI_IMAGE_ENTRY_POINT Entry, EFI_HANDLE *ImageHandle = nullptr);
  // Holds notifications back until the matching Release.
  EFI_TPL Hold(EFI_TPL Tpl = TPL_NOTIFY) { return St.BootServices->RaiseTPL(Tpl); }
  void Release(EFI_TPL Old) { St.BootServices->RestoreTPL(Old); }

  // Port and memory traffic, for the report and for exact-sequence tests.
  std::vector<HwAccess> PortTrace() const;
  std::vector<HwAccess> MmioTrace() const;

  // --- the hardware seam lands here ---------------------------------------
  UINT8 IoRead8(UINT16 Port);
  void IoWrite8(UINT16 Port, UINT8 Value);
  UINT32 MmioRead(UINT64 Address, unsigned Width);
  void MmioWrite(UINT64 Address, unsigned Width, UINT32 Value);

 private:
  EFI_SYSTEM_TABLE St{};
  std::vector<std::string> OwnErrors;
  Platform *Previous = nullptr;
};

// A firmware-facing service's entry: the call is counted and may be failed
// (the GUID it names, if any, goes into the log).
std::optional<Fault> Inject(const char *Service, const EFI_GUID *Guid = nullptr);

}  // namespace Sim
