#include "Simulator/BootServices.h"

#include <algorithm>
#include <cstdlib>

#include "Simulator/ConfigurationTable.h"
#include "Simulator/GuidNames.h"
#include "Simulator/Platform.h"

namespace Sim {

namespace {

// Firmware-facing entry points: every call is counted and may be failed.
BootServicesModel &Bs() { return Platform::Current().Boot; }

EFI_TPL EFIAPI SimRaiseTpl(EFI_TPL NewTpl) { return Bs().RaiseTpl(NewTpl); }
VOID EFIAPI SimRestoreTpl(EFI_TPL OldTpl) { Bs().RestoreTpl(OldTpl); }

EFI_STATUS EFIAPI SimAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  if (auto F = Inject("AllocatePool")) {
    if (Buffer != nullptr) {
      *Buffer = nullptr;
    }
    return F->Status;
  }
  return Bs().AllocatePool(Type, Size, Buffer);
}

EFI_STATUS EFIAPI SimFreePool(VOID *Buffer) {
  if (auto F = Inject("FreePool")) {
    return F->Status;
  }
  return Bs().FreePool(Buffer);
}

EFI_STATUS EFIAPI SimCreateEvent(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Fn, VOID *Ctx,
                                 EFI_EVENT *Out) {
  if (auto F = Inject("CreateEvent")) {
    return F->Status;
  }
  return Bs().CreateEvent(Type, Tpl, Fn, Ctx, Out);
}

EFI_STATUS EFIAPI SimSignalEvent(EFI_EVENT E) {
  if (auto F = Inject("SignalEvent")) {
    return F->Status;
  }
  return Bs().SignalEvent(E);
}

EFI_STATUS EFIAPI SimCloseEvent(EFI_EVENT E) {
  if (auto F = Inject("CloseEvent")) {
    return F->Status;
  }
  return Bs().CloseEvent(E);
}

EFI_STATUS EFIAPI SimInstallProtocolInterface(EFI_HANDLE *H, const EFI_GUID *Guid,
                                              EFI_INTERFACE_TYPE Type, VOID *Interface) {
  if (auto F = Inject("InstallProtocolInterface", Guid)) {
    return F->Status;
  }
  if (Type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  return Bs().InstallProtocol(H, Guid, Interface);
}

EFI_STATUS EFIAPI SimReinstallProtocolInterface(EFI_HANDLE H, const EFI_GUID *Guid, VOID *Old,
                                                VOID *New) {
  if (auto F = Inject("ReinstallProtocolInterface", Guid)) {
    return F->Status;
  }
  return Bs().ReinstallProtocol(H, Guid, Old, New);
}

EFI_STATUS EFIAPI SimUninstallProtocolInterface(EFI_HANDLE H, const EFI_GUID *Guid,
                                                VOID *Interface) {
  if (auto F = Inject("UninstallProtocolInterface", Guid)) {
    return F->Status;
  }
  return Bs().UninstallProtocol(H, Guid, Interface);
}

EFI_STATUS EFIAPI SimHandleProtocol(EFI_HANDLE H, const EFI_GUID *Guid, VOID **Interface) {
  if (auto F = Inject("HandleProtocol", Guid)) {
    if (Interface != nullptr) {
      *Interface = nullptr;
    }
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Bs().HandleProtocol(H, Guid, Interface);
}

EFI_STATUS EFIAPI SimRegisterProtocolNotify(const EFI_GUID *Guid, EFI_EVENT E, VOID **Key) {
  if (auto F = Inject("RegisterProtocolNotify", Guid)) {
    return F->Status;
  }
  return Bs().RegisterProtocolNotify(Guid, E, Key);
}

EFI_STATUS EFIAPI SimLocateProtocol(const EFI_GUID *Guid, VOID *Key, VOID **Interface) {
  if (auto F = Inject("LocateProtocol", Guid)) {
    if (Interface != nullptr) {
      *Interface = nullptr;
    }
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Bs().LocateProtocol(Guid, Key, Interface);
}

EFI_STATUS EFIAPI SimInstallConfigurationTable(const EFI_GUID *Guid, VOID *Table) {
  if (auto F = Inject("InstallConfigurationTable", Guid)) {
    return F->Status;
  }
  return Bs().InstallConfigurationTable(Guid, Table);
}

}  // namespace

BootServicesModel::BootServicesModel(Platform &Owner) : P(Owner) {
  Bs.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Bs.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  Bs.RaiseTPL = SimRaiseTpl;
  Bs.RestoreTPL = SimRestoreTpl;
  Bs.AllocatePool = SimAllocatePool;
  Bs.FreePool = SimFreePool;
  Bs.CreateEvent = SimCreateEvent;
  Bs.SignalEvent = SimSignalEvent;
  Bs.CloseEvent = SimCloseEvent;
  Bs.InstallProtocolInterface = SimInstallProtocolInterface;
  Bs.ReinstallProtocolInterface = SimReinstallProtocolInterface;
  Bs.UninstallProtocolInterface = SimUninstallProtocolInterface;
  Bs.HandleProtocol = SimHandleProtocol;
  Bs.RegisterProtocolNotify = SimRegisterProtocolNotify;
  Bs.LocateProtocol = SimLocateProtocol;
  Bs.InstallConfigurationTable = SimInstallConfigurationTable;
}

BootServicesModel::~BootServicesModel() {
  for (auto &[Mem, Size] : Pool) {
    std::free(Mem);
  }
}

EFI_TPL BootServicesModel::RaiseTpl(EFI_TPL NewTpl) {
  const EFI_TPL Old = Tpl;
  if (NewTpl < Tpl) {
    P.Error("RaiseTPL to a lower TPL");
  }
  Tpl = NewTpl;
  return Old;
}

void BootServicesModel::RestoreTpl(EFI_TPL OldTpl) {
  if (OldTpl > Tpl) {
    P.Error("RestoreTPL to a higher TPL");
  }
  Tpl = OldTpl;
  Dispatch();
}

EFI_STATUS BootServicesModel::AllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  VOID *Mem = std::calloc(1, Size == 0 ? 1 : Size);
  if (Mem == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  Pool[Mem] = Size;
  *Buffer = Mem;
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesModel::FreePool(VOID *Buffer) {
  auto It = Pool.find(Buffer);
  if (It == Pool.end()) {
    P.Error("FreePool of a buffer boot services never allocated");
    return EFI_INVALID_PARAMETER;
  }
  std::free(Buffer);
  Pool.erase(It);
  return EFI_SUCCESS;
}

BootServicesModel::Event *BootServicesModel::Lookup(EFI_EVENT E) {
  for (auto &Ev : AllEvents) {
    if (Ev.get() == E && !Ev->Closed) {
      return Ev.get();
    }
  }
  return nullptr;
}

BootServicesModel::Handle *BootServicesModel::LookupHandle(EFI_HANDLE H) {
  for (auto &Hd : Handles) {
    if (Hd.get() == H) {
      return Hd.get();
    }
  }
  return nullptr;
}

EFI_STATUS BootServicesModel::CreateEvent(UINT32 Type, EFI_TPL EvTpl, EFI_EVENT_NOTIFY Fn,
                                          VOID *Ctx, EFI_EVENT *Out) {
  if (Out == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if ((Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0) {
    if (Fn == nullptr || EvTpl <= TPL_APPLICATION || EvTpl >= TPL_HIGH_LEVEL) {
      return EFI_INVALID_PARAMETER;
    }
  }
  auto Ev = std::make_unique<Event>();
  Ev->Type = Type;
  Ev->Tpl = EvTpl;
  Ev->Notify = Fn;
  Ev->Context = Ctx;
  *Out = Ev.get();
  AllEvents.push_back(std::move(Ev));
  return EFI_SUCCESS;
}

void BootServicesModel::Queue_(Event *Ev) {
  // A notification already pending is not queued twice.
  if ((Ev->Type & EVT_NOTIFY_SIGNAL) == 0 || Ev->Queued) {
    return;
  }
  Ev->Queued = true;
  Queue.push_back(Ev);
}

void BootServicesModel::Dispatch() {
  for (;;) {
    Event *Next = nullptr;
    for (Event *Ev : Queue) {
      if (Ev->Tpl > Tpl && (Next == nullptr || Ev->Tpl > Next->Tpl)) {
        Next = Ev;  // first (oldest) of the highest TPL
      }
    }
    if (Next == nullptr) {
      return;
    }
    Queue.erase(std::find(Queue.begin(), Queue.end(), Next));
    Next->Queued = false;
    const EFI_TPL Saved = Tpl;
    Tpl = Next->Tpl;
    ++Next->Runs;
    Next->Notify(Next, Next->Context);
    if (Tpl != Next->Tpl) {
      P.Error("notification function returned at a different TPL");
    }
    Tpl = Saved;
  }
}

EFI_STATUS BootServicesModel::SignalEvent(EFI_EVENT E) {
  Event *Ev = Lookup(E);
  if (Ev == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Queue_(Ev);
  Dispatch();
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesModel::CloseEvent(EFI_EVENT E) {
  Event *Ev = Lookup(E);
  if (Ev == nullptr) {
    P.Error("CloseEvent of an event that is not open");
    return EFI_INVALID_PARAMETER;
  }
  Ev->Closed = true;
  if (Ev->Queued) {
    Queue.erase(std::find(Queue.begin(), Queue.end(), Ev));
    Ev->Queued = false;
  }
  std::erase_if(Registrations, [Ev](const Registration &R) { return R.Ev == Ev; });
  return EFI_SUCCESS;
}

EFI_HANDLE BootServicesModel::NewHandle() {
  Handles.push_back(std::make_unique<Handle>(Handle{static_cast<unsigned>(Handles.size() + 1)}));
  return Handles.back().get();
}

void BootServicesModel::NotifyArrival(const EFI_GUID &Guid) {
  for (const Registration &R : Registrations) {
    if (GuidEqual(R.Guid, Guid)) {
      Queue_(R.Ev);
    }
  }
}

EFI_STATUS BootServicesModel::InstallProtocol(EFI_HANDLE *H, const EFI_GUID *Guid,
                                              VOID *Interface) {
  if (H == nullptr || Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Handle *Owner = nullptr;
  if (*H == nullptr) {
    Owner = static_cast<Handle *>(NewHandle());
  } else {
    Owner = LookupHandle(*H);
    if (Owner == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    for (const ProtocolEntry &E : Protocols) {
      if (E.Owner == Owner && !E.Removed && GuidEqual(E.Guid, *Guid)) {
        return EFI_INVALID_PARAMETER;  // already on this handle
      }
    }
  }
  Protocols.push_back({Owner, *Guid, Interface});
  *H = Owner;
  // The database lock holds notifications back until the entry is complete.
  NotifyArrival(*Guid);
  Dispatch();
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesModel::ReinstallProtocol(EFI_HANDLE H, const EFI_GUID *Guid, VOID *Old,
                                                VOID *New) {
  for (ProtocolEntry &E : Protocols) {
    if (E.Owner == H && !E.Removed && GuidEqual(E.Guid, *Guid) && E.Interface == Old) {
      E.Removed = true;
      Protocols.push_back({E.Owner, *Guid, New});
      NotifyArrival(*Guid);
      Dispatch();
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS BootServicesModel::UninstallProtocol(EFI_HANDLE H, const EFI_GUID *Guid,
                                                VOID *Interface) {
  for (ProtocolEntry &E : Protocols) {
    if (E.Owner == H && !E.Removed && GuidEqual(E.Guid, *Guid) && E.Interface == Interface) {
      E.Removed = true;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS BootServicesModel::HandleProtocol(EFI_HANDLE H, const EFI_GUID *Guid,
                                             VOID **Interface) {
  if (Interface == nullptr || Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  for (const ProtocolEntry &E : Protocols) {
    if (E.Owner == H && !E.Removed && GuidEqual(E.Guid, *Guid)) {
      *Interface = E.Interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS BootServicesModel::RegisterProtocolNotify(const EFI_GUID *Guid, EFI_EVENT E,
                                                     VOID **Key) {
  Event *Ev = Lookup(E);
  if (Guid == nullptr || Ev == nullptr || Key == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Only installations from now on are reported.
  Registrations.push_back({*Guid, Ev, Protocols.size()});
  *Key = Ev;
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesModel::LocateProtocol(const EFI_GUID *Guid, VOID *Key,
                                             VOID **Interface) {
  if (Interface == nullptr || Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  size_t From = 0;
  Registration *Reg = nullptr;
  if (Key != nullptr) {
    for (Registration &R : Registrations) {
      if (R.Ev == Key && GuidEqual(R.Guid, *Guid)) {
        Reg = &R;
      }
    }
    if (Reg == nullptr) {
      return EFI_NOT_FOUND;
    }
    From = Reg->Position;
  }
  for (size_t I = From; I < Protocols.size(); ++I) {
    const ProtocolEntry &E = Protocols[I];
    if (!E.Removed && GuidEqual(E.Guid, *Guid)) {
      if (Reg != nullptr) {
        Reg->Position = I + 1;
      }
      *Interface = E.Interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

void BootServicesModel::PublishConfig() {
  EFI_SYSTEM_TABLE *St = P.SystemTable();
  if (Published.size() < Config.size()) {
    Published.resize(Config.size());
  }
  std::copy(Config.begin(), Config.end(), Published.begin());
  St->NumberOfTableEntries = Config.size();
  St->ConfigurationTable = Published.empty() ? nullptr : Published.data();
}

EFI_STATUS BootServicesModel::InstallConfigurationTable(const EFI_GUID *Guid, VOID *Table) {
  bool Changed = false;
  const EFI_STATUS Status = InstallConfigurationEntry(Config, Guid, Table, Changed);
  if (Changed) {
    PublishConfig();
  }
  return Status;
}

size_t BootServicesModel::LiveEvents() const {
  return static_cast<size_t>(std::count_if(AllEvents.begin(), AllEvents.end(),
                                           [](const auto &E) { return !E->Closed; }));
}

size_t BootServicesModel::RegistrationsFor(const EFI_GUID &Guid) const {
  return static_cast<size_t>(std::count_if(Registrations.begin(), Registrations.end(),
                                           [&](const auto &R) { return GuidEqual(R.Guid, Guid); }));
}

std::vector<EFI_HANDLE> BootServicesModel::HandlesWith(const EFI_GUID &Guid) const {
  std::vector<EFI_HANDLE> Out;
  for (const ProtocolEntry &E : Protocols) {
    if (!E.Removed && GuidEqual(E.Guid, Guid)) {
      Out.push_back(E.Owner);
    }
  }
  return Out;
}

}  // namespace Sim
