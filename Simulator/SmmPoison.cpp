#include "Simulator/SmmPoison.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Simulator/Platform.h"

namespace Sim {

namespace {

EFI_STATUS Used(const char *Table, const char *Service) {
  Platform::Current().Error(std::string(Table) + " " + Service +
                            " used after the SMM driver's entry returned");
  return EFI_ACCESS_DENIED;
}
EFI_STATUS Bs(const char *Service) { return Used("boot service", Service); }
EFI_STATUS Rt(const char *Service) { return Used("runtime service", Service); }

// Slots without a type of their own in our tables.
UINTN EFIAPI AnyBootService() { return Bs("(unmodelled slot)"); }
UINTN EFIAPI AnyRuntimeService() { return Rt("(unmodelled slot)"); }
UINTN EFIAPI AnyConsoleService() { return Used("system-table console", "(any)"); }

EFI_TPL EFIAPI RaiseTplTrap(EFI_TPL) {
  Bs("RaiseTPL");
  return TPL_HIGH_LEVEL;
}
VOID EFIAPI RestoreTplTrap(EFI_TPL) { Bs("RestoreTPL"); }
EFI_STATUS EFIAPI AllocatePoolTrap(EFI_MEMORY_TYPE, UINTN, VOID **Buffer) {
  if (Buffer != nullptr) {
    *Buffer = nullptr;
  }
  return Bs("AllocatePool");
}
EFI_STATUS EFIAPI FreePoolTrap(VOID *) { return Bs("FreePool"); }
EFI_STATUS EFIAPI CreateEventTrap(UINT32, EFI_TPL, EFI_EVENT_NOTIFY, VOID *, EFI_EVENT *) {
  return Bs("CreateEvent");
}
EFI_STATUS EFIAPI SignalEventTrap(EFI_EVENT) { return Bs("SignalEvent"); }
EFI_STATUS EFIAPI CloseEventTrap(EFI_EVENT) { return Bs("CloseEvent"); }
EFI_STATUS EFIAPI InstallProtocolInterfaceTrap(EFI_HANDLE *, const EFI_GUID *,
                                               EFI_INTERFACE_TYPE, VOID *) {
  return Bs("InstallProtocolInterface");
}
EFI_STATUS EFIAPI ReinstallProtocolInterfaceTrap(EFI_HANDLE, const EFI_GUID *, VOID *, VOID *) {
  return Bs("ReinstallProtocolInterface");
}
EFI_STATUS EFIAPI UninstallProtocolInterfaceTrap(EFI_HANDLE, const EFI_GUID *, VOID *) {
  return Bs("UninstallProtocolInterface");
}
EFI_STATUS EFIAPI HandleProtocolTrap(EFI_HANDLE, const EFI_GUID *, VOID **Interface) {
  if (Interface != nullptr) {
    *Interface = nullptr;
  }
  return Bs("HandleProtocol");
}
EFI_STATUS EFIAPI RegisterProtocolNotifyTrap(const EFI_GUID *, EFI_EVENT, VOID **) {
  return Bs("RegisterProtocolNotify");
}
EFI_STATUS EFIAPI InstallConfigurationTableTrap(const EFI_GUID *, VOID *) {
  return Bs("InstallConfigurationTable");
}
EFI_STATUS EFIAPI LoadImageTrap(BOOLEAN, EFI_HANDLE, VOID *, VOID *, UINTN, EFI_HANDLE *) {
  return Bs("LoadImage");
}
EFI_STATUS EFIAPI StartImageTrap(EFI_HANDLE, UINTN *, CHAR16 **) { return Bs("StartImage"); }
EFI_STATUS EFIAPI StallTrap(UINTN) { return Bs("Stall"); }
EFI_STATUS EFIAPI SetWatchdogTimerTrap(UINTN, UINT64, UINTN, CHAR16 *) {
  return Bs("SetWatchdogTimer");
}
EFI_STATUS EFIAPI LocateProtocolTrap(const EFI_GUID *, VOID *, VOID **Interface) {
  if (Interface != nullptr) {
    *Interface = nullptr;
  }
  return Bs("LocateProtocol");
}

EFI_STATUS EFIAPI GetVariableTrap(const CHAR16 *, const EFI_GUID *, UINT32 *, UINTN *, VOID *) {
  return Rt("GetVariable");
}
EFI_STATUS EFIAPI SetVariableTrap(const CHAR16 *, const EFI_GUID *, UINT32, UINTN,
                                  const VOID *) {
  return Rt("SetVariable");
}
VOID EFIAPI ResetSystemTrap(EFI_RESET_TYPE, EFI_STATUS, UINTN, VOID *) { Rt("ResetSystem"); }

EFI_STATUS EFIAPI OutputStringTrap(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, const CHAR16 *) {
  return Used("system-table console", "OutputString");
}

// Every pointer-sized slot from First to the end gets Trap.
template <typename Table>
void FillSlots(Table &T, size_t First, UINTN(EFIAPI *Trap)()) {
  auto *Bytes = reinterpret_cast<UINT8 *>(&T);
  for (size_t Offset = First; Offset + sizeof(Trap) <= sizeof(Table); Offset += sizeof(Trap)) {
    std::memcpy(Bytes + Offset, &Trap, sizeof(Trap));
  }
}

}  // namespace

LoadTimeTablePoison::~LoadTimeTablePoison() {
  if (Page != nullptr) {
    munmap(Page, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
  }
}

void LoadTimeTablePoison::Apply(EFI_SYSTEM_TABLE *SystemTable) {
  if (St != nullptr) {
    return;
  }
  if (Page == nullptr) {
    VOID *Mapped = mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Page = Mapped == MAP_FAILED ? nullptr : Mapped;
  }
  St = SystemTable;
  Bs = SystemTable->BootServices;
  Rt = SystemTable->RuntimeServices;
  SavedSt = *St;

  if (Bs != nullptr) {
    SavedBs = *Bs;
    FillSlots(*Bs, sizeof(EFI_TABLE_HEADER), AnyBootService);
    Bs->RaiseTPL = RaiseTplTrap;
    Bs->RestoreTPL = RestoreTplTrap;
    Bs->AllocatePool = AllocatePoolTrap;
    Bs->FreePool = FreePoolTrap;
    Bs->CreateEvent = CreateEventTrap;
    Bs->SignalEvent = SignalEventTrap;
    Bs->CloseEvent = CloseEventTrap;
    Bs->InstallProtocolInterface = InstallProtocolInterfaceTrap;
    Bs->ReinstallProtocolInterface = ReinstallProtocolInterfaceTrap;
    Bs->UninstallProtocolInterface = UninstallProtocolInterfaceTrap;
    Bs->HandleProtocol = HandleProtocolTrap;
    Bs->RegisterProtocolNotify = RegisterProtocolNotifyTrap;
    Bs->InstallConfigurationTable = InstallConfigurationTableTrap;
    Bs->LoadImage = LoadImageTrap;
    Bs->StartImage = StartImageTrap;
    Bs->Stall = StallTrap;
    Bs->SetWatchdogTimer = SetWatchdogTimerTrap;
    Bs->LocateProtocol = LocateProtocolTrap;
  }
  if (Rt != nullptr) {
    SavedRt = *Rt;
    FillSlots(*Rt, sizeof(EFI_TABLE_HEADER), AnyRuntimeService);
    Rt->GetVariable = GetVariableTrap;
    Rt->SetVariable = SetVariableTrap;
    Rt->ResetSystem = ResetSystemTrap;
  }

  FillSlots(Console, 0, AnyConsoleService);
  Console.OutputString = OutputStringTrap;
  Console.Mode = Page;
  // Data behind the system table: reading any of it faults.
  St->FirmwareVendor = static_cast<CHAR16 *>(Page);
  St->ConIn = Page;
  St->ConOut = &Console;
  St->StdErr = &Console;
  St->ConfigurationTable = static_cast<EFI_CONFIGURATION_TABLE *>(Page);
  if (St->NumberOfTableEntries == 0) {
    St->NumberOfTableEntries = 1;
  }
}

void LoadTimeTablePoison::Lift() {
  if (St == nullptr) {
    return;
  }
  *St = SavedSt;
  if (Bs != nullptr) {
    *Bs = SavedBs;
  }
  if (Rt != nullptr) {
    *Rt = SavedRt;
  }
  St = nullptr;
  Bs = nullptr;
  Rt = nullptr;
}

}  // namespace Sim
