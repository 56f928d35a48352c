// Boot services as the DXE core provides them: a protocol database with
// handles, events with protocol-arrival notification, the task-priority
// scheme (notifications run highest TPL first, FIFO within a TPL, once the
// TPL drops below theirs), pool memory and the configuration table.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Uefi/SystemTable.h"

namespace Sim {

class Platform;

class BootServicesModel {
 public:
  struct Event {
    UINT32 Type = 0;
    EFI_TPL Tpl = 0;
    EFI_EVENT_NOTIFY Notify = nullptr;
    VOID *Context = nullptr;
    bool Queued = false;
    bool Closed = false;
    unsigned Runs = 0;
  };

  struct Handle {
    unsigned Id;
  };

  struct ProtocolEntry {
    Handle *Owner;
    EFI_GUID Guid;
    VOID *Interface;
    bool Removed = false;
  };

  struct Registration {
    EFI_GUID Guid;
    Event *Ev;
    size_t Position;  // next protocol entry LocateProtocol(..., key) may return
  };

  explicit BootServicesModel(Platform &Owner);
  ~BootServicesModel();
  BootServicesModel(const BootServicesModel &) = delete;
  BootServicesModel &operator=(const BootServicesModel &) = delete;
  EFI_BOOT_SERVICES *Table() { return &Bs; }

  // --- the services, as the firmware-facing trampolines call them --------
  EFI_TPL RaiseTpl(EFI_TPL NewTpl);
  void RestoreTpl(EFI_TPL OldTpl);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer);
  EFI_STATUS FreePool(VOID *Buffer);
  EFI_STATUS CreateEvent(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Fn, VOID *Ctx,
                         EFI_EVENT *Out);
  EFI_STATUS SignalEvent(EFI_EVENT E);
  EFI_STATUS CloseEvent(EFI_EVENT E);
  EFI_STATUS InstallProtocol(EFI_HANDLE *H, const EFI_GUID *Guid, VOID *Interface);
  EFI_STATUS ReinstallProtocol(EFI_HANDLE H, const EFI_GUID *Guid, VOID *Old, VOID *New);
  EFI_STATUS UninstallProtocol(EFI_HANDLE H, const EFI_GUID *Guid, VOID *Interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE H, const EFI_GUID *Guid, VOID **Interface);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID *Guid, EFI_EVENT E, VOID **Key);
  EFI_STATUS LocateProtocol(const EFI_GUID *Guid, VOID *Key, VOID **Interface);
  EFI_STATUS InstallConfigurationTable(const EFI_GUID *Guid, VOID *Table);

  // --- for scenarios and checks -------------------------------------------
  EFI_HANDLE NewHandle();
  EFI_TPL CurrentTpl() const { return Tpl; }
  size_t LiveEvents() const;
  size_t PendingEvents() const { return Queue.size(); }
  const std::vector<std::unique_ptr<Event>> &Events() const { return AllEvents; }
  size_t RegistrationsFor(const EFI_GUID &Guid) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Guid) const;
  size_t PoolInUse() const { return Pool.size(); }
  const std::vector<EFI_CONFIGURATION_TABLE> &ConfigTable() const { return Config; }

 private:
  Event *Lookup(EFI_EVENT E);
  Handle *LookupHandle(EFI_HANDLE H);
  void Queue_(Event *Ev);
  void Dispatch();
  void NotifyArrival(const EFI_GUID &Guid);
  void PublishConfig();

  Platform &P;
  EFI_BOOT_SERVICES Bs{};
  EFI_TPL Tpl = TPL_APPLICATION;
  std::vector<std::unique_ptr<Event>> AllEvents;  // closed events stay, marked
  std::deque<Event *> Queue;
  std::vector<std::unique_ptr<Handle>> Handles;
  std::vector<ProtocolEntry> Protocols;  // install order
  std::vector<Registration> Registrations;
  std::map<VOID *, UINTN> Pool;
  std::vector<EFI_CONFIGURATION_TABLE> Config;
  // The array the system table points at. Like firmware, it keeps its room:
  // a removal moves the later entries down and leaves the old last slot,
  // behind NumberOfTableEntries, as it was.
  std::vector<EFI_CONFIGURATION_TABLE> Published;
};

}  // namespace Sim
