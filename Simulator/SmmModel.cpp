#include "Simulator/SmmModel.h"

#include <cstring>
#include <utility>

#include "Simulator/ConfigurationTable.h"
#include "Simulator/GuidNames.h"
#include "Simulator/Platform.h"

namespace Sim {

namespace {

CHAR16 SmmVendor[] = u"Board simulator SMM core";
constexpr UINT32 SmmRevision = 0x00010000;
constexpr UINTN SmmPoolAlignment = 16;
// Fresh SMM pool is not zeroed on real cores; freed pool is scribbled over.
constexpr UINT8 FreshPoolFill = 0xA5;
constexpr UINT8 FreedPoolFill = 0xDF;

SmmModel &Smm() { return Platform::Current().Smm; }

// --- EFI_SMM_BASE2_PROTOCOL ---------------------------------------------------
EFI_STATUS EFIAPI SimInSmm(const EFI_SMM_BASE2_PROTOCOL *, BOOLEAN *InSmram) {
  if (auto F = Inject("InSmm")) {
    return F->Status;
  }
  if (InSmram == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *InSmram = Smm().InSmm ? TRUE : FALSE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimGetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *, EFI_SMM_SYSTEM_TABLE2 **Smst) {
  if (auto F = Inject("GetSmstLocation")) {
    if (F->NullInterface && Smst != nullptr) {
      *Smst = nullptr;
    }
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Smm().GetSmstLocation(Smst);
}

// --- EFI_SMM_ACCESS2_PROTOCOL -------------------------------------------------
EFI_STATUS EFIAPI SimSmramOpen(EFI_SMM_ACCESS2_PROTOCOL *This) {
  if (auto F = Inject("SmramOpen")) {
    return F->Status;
  }
  if (This->LockState) {
    return EFI_ACCESS_DENIED;
  }
  This->OpenState = TRUE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimSmramClose(EFI_SMM_ACCESS2_PROTOCOL *This) {
  if (auto F = Inject("SmramClose")) {
    return F->Status;
  }
  This->OpenState = FALSE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimSmramLock(EFI_SMM_ACCESS2_PROTOCOL *This) {
  if (auto F = Inject("SmramLock")) {
    return F->Status;
  }
  This->LockState = TRUE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimGetCapabilities(const EFI_SMM_ACCESS2_PROTOCOL *, UINTN *Size,
                                     EFI_SMRAM_DESCRIPTOR *Map) {
  if (auto F = Inject("GetCapabilities")) {
    return F->Status;
  }
  return Smm().GetCapabilities(Size, Map);
}

// --- EFI_SMM_SYSTEM_TABLE2 ----------------------------------------------------
EFI_STATUS EFIAPI SimSmmInstallConfigurationTable(const EFI_SMM_SYSTEM_TABLE2 *,
                                                  const EFI_GUID *Guid, VOID *Table, UINTN) {
  if (auto F = Inject("SmmInstallConfigurationTable")) {
    return F->Status;
  }
  return Smm().InstallConfigurationTable(Guid, Table);
}

EFI_STATUS EFIAPI SimSmmAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  if (auto F = Inject("SmmAllocatePool")) {
    if (Buffer != nullptr) {
      *Buffer = nullptr;
    }
    // NullResult: a pool that claims success and hands back no buffer.
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Smm().AllocatePool(Type, Size, Buffer);
}

EFI_STATUS EFIAPI SimSmmFreePool(VOID *Buffer) {
  if (auto F = Inject("SmmFreePool")) {
    return F->Status;
  }
  return Smm().FreePool(Buffer);
}

EFI_STATUS EFIAPI SimSmmInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid,
                                                 EFI_INTERFACE_TYPE Type, VOID *Interface) {
  if (auto F = Inject("SmmInstallProtocolInterface")) {
    return F->Status;
  }
  if (Type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  return Smm().InstallProtocol(Handle, Guid, Interface);
}

EFI_STATUS EFIAPI SimSmmUninstallProtocolInterface(EFI_HANDLE, const EFI_GUID *, VOID *) {
  if (auto F = Inject("SmmUninstallProtocolInterface")) {
    return F->Status;
  }
  Platform::Current().Error("SmmUninstallProtocolInterface is not modelled");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SimSmmHandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface) {
  if (auto F = Inject("SmmHandleProtocol")) {
    if (Interface != nullptr) {
      *Interface = nullptr;
    }
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Smm().HandleProtocol(Handle, Guid, Interface);
}

EFI_STATUS EFIAPI SimSmmRegisterProtocolNotify(const EFI_GUID *, EFI_SMM_NOTIFY_FN, VOID **) {
  if (auto F = Inject("SmmRegisterProtocolNotify")) {
    return F->Status;
  }
  Platform::Current().Error("SmmRegisterProtocolNotify is not modelled");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SimSmmLocateProtocol(const EFI_GUID *Guid, VOID *Registration, VOID **Interface) {
  if (auto F = Inject("SmmLocateProtocol", Guid)) {
    if (Interface != nullptr) {
      *Interface = nullptr;
    }
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Smm().LocateProtocol(Guid, Registration, Interface);
}

EFI_STATUS EFIAPI SimSmiHandlerRegister(EFI_SMM_HANDLER_ENTRY_POINT2, const EFI_GUID *,
                                        EFI_HANDLE *) {
  if (auto F = Inject("SmiHandlerRegister")) {
    return F->Status;
  }
  Platform::Current().Error("root SMI handlers are not modelled");
  return EFI_UNSUPPORTED;
}

// --- SMM variable protocol and the SMM runtime-services table -----------------
EFI_STATUS EFIAPI SimSmmGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                    UINTN *DataSize, VOID *Data) {
  if (auto F = Inject("SmmGetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.GetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI SimSmmSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                    UINTN DataSize, const VOID *Data) {
  if (auto F = Inject("SmmSetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.SetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI SimSmmRuntimeGetVariable(const CHAR16 *Name, const EFI_GUID *Guid,
                                           UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  if (auto F = Inject("SmmRuntimeGetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.GetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI SimSmmRuntimeSetVariable(const CHAR16 *Name, const EFI_GUID *Guid,
                                           UINT32 Attributes, UINTN DataSize, const VOID *Data) {
  if (auto F = Inject("SmmRuntimeSetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.SetVariable(Name, Guid, Attributes, DataSize, Data);
}

// --- the Super I/O access gate ------------------------------------------------
EFI_STATUS EFIAPI SimSioAccessGate(BOOLEAN Acquire) { return Smm().SioAccessGate(Acquire); }

}  // namespace

// SMRAM is not cleared: every pool block is filled when handed out.
SmmModel::SmmModel(Platform &Owner) : P(Owner), Smram(new UINT8[SmramSize]) {
  Base.InSmm = SimInSmm;
  Base.GetSmstLocation = SimGetSmstLocation;

  Access.Open = SimSmramOpen;
  Access.Close = SimSmramClose;
  Access.Lock = SimSmramLock;
  Access.GetCapabilities = SimGetCapabilities;
  Access.OpenState = TRUE;  // SMM drivers load before SMRAM is closed and locked

  const auto SmramBase = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(Smram.get());
  SmramRanges = {
      {SmramBase, SmramBase, SmmCoreReserved, SmramRangeState},
      {SmramBase + SmmCoreReserved, SmramBase + SmmCoreReserved, SmramSize - SmmCoreReserved,
       SmramRangeState},
  };
  PoolNext = SmmCoreReserved;

  Table.Hdr.Signature = SMM_SMST_SIGNATURE;
  Table.Hdr.HeaderSize = sizeof(EFI_SMM_SYSTEM_TABLE2);
  Table.SmmFirmwareVendor = SmmVendor;
  Table.SmmFirmwareRevision = SmmRevision;
  Table.SmmInstallConfigurationTable = SimSmmInstallConfigurationTable;
  Table.SmmAllocatePool = SimSmmAllocatePool;
  Table.SmmFreePool = SimSmmFreePool;
  Table.NumberOfCpus = 1;
  Table.SmmInstallProtocolInterface = SimSmmInstallProtocolInterface;
  Table.SmmUninstallProtocolInterface = SimSmmUninstallProtocolInterface;
  Table.SmmHandleProtocol = SimSmmHandleProtocol;
  Table.SmmRegisterProtocolNotify = SimSmmRegisterProtocolNotify;
  Table.SmmLocateProtocol = SimSmmLocateProtocol;
  Table.SmiHandlerRegister = SimSmiHandlerRegister;

  Variable.SmmGetVariable = SimSmmGetVariable;
  Variable.SmmSetVariable = SimSmmSetVariable;

  SmmRt.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  SmmRt.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  SmmRt.GetVariable = SimSmmRuntimeGetVariable;
  SmmRt.SetVariable = SimSmmRuntimeSetVariable;

  GateRecord.SioAccessGate = SimSioAccessGate;
  InitDispatchers();
}

SmmModel::~SmmModel() = default;

void SmmModel::Build(const SmmSetup &Setup) {
  InSmm = Setup.InSmm;
  if (Setup.Base2) {
    P.InstallProtocol(EFI_SMM_BASE2_PROTOCOL_GUID, &Base);
  }
  if (Setup.Access2) {
    P.InstallProtocol(EFI_SMM_ACCESS2_PROTOCOL_GUID, &Access);
  }
  if (Setup.PlatformService) {
    InstallSmmProtocol(SmmPlatformServiceProtocolGuid, &PlatformServiceRecord);
  }
  if (Setup.SxDispatcher) {
    InstallSmmProtocol(EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, &Sx);
  }
  if (Setup.PowerButtonDispatcher) {
    InstallSmmProtocol(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID, &PowerButton);
  }
  if (Setup.VariableProtocol) {
    InstallSmmProtocol(EFI_SMM_VARIABLE_PROTOCOL_GUID, &Variable);
  }
  if (Setup.SioAccessGate) {
    AddConfigurationTable(SioAccessGateGuid, &GateRecord);
  }
  if (Setup.RuntimeServicesTable) {
    AddConfigurationTable(SmmRuntimeServicesTableGuid, &SmmRt);
  }
}

void SmmModel::InstallSmmProtocol(const EFI_GUID &Guid, VOID *Interface) {
  EFI_HANDLE Handle = nullptr;
  if (EFI_ERROR(InstallProtocol(&Handle, &Guid, Interface))) {
    P.Error("scenario could not install an SMM protocol");
  }
}

void SmmModel::AddConfigurationTable(const EFI_GUID &Guid, VOID *Table) {
  Config.push_back({Guid, Table});
  PublishConfig();
}

void SmmModel::PublishConfig() {
  Table.NumberOfTableEntries = Config.size();
  Table.SmmConfigurationTable = Config.empty() ? nullptr : Config.data();
}

EFI_STATUS SmmModel::LoadDriver(EFI_IMAGE_ENTRY_POINT Entry) {
  const EFI_STATUS Status = P.StartImage(Entry);
  Poison.Apply(P.SystemTable());
  return Status;
}

bool SmmModel::InSmram(const VOID *Buffer) const {
  const auto *Byte = static_cast<const UINT8 *>(Buffer);
  return Byte >= Smram.get() && Byte < Smram.get() + SmramSize;
}

EFI_STATUS SmmModel::GetSmstLocation(EFI_SMM_SYSTEM_TABLE2 **Smst) {
  if (Smst == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!InSmm) {
    *Smst = nullptr;  // as a real core answers a caller outside SMM
    return EFI_UNSUPPORTED;
  }
  *Smst = &Table;
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::GetCapabilities(UINTN *Size, EFI_SMRAM_DESCRIPTOR *Map) {
  if (Size == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN Needed = SmramRanges.size() * sizeof(EFI_SMRAM_DESCRIPTOR);
  if (*Size < Needed) {
    *Size = Needed;
    if (SmramRangesAfterSizeQuery) {
      SmramRanges = std::move(*SmramRangesAfterSizeQuery);
      SmramRangesAfterSizeQuery.reset();
    }
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Map == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Needed != 0) {
    std::memcpy(Map, SmramRanges.data(), Needed);
  }
  *Size = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Buffer = nullptr;
  if (Type != EfiRuntimeServicesCode && Type != EfiRuntimeServicesData) {
    return EFI_INVALID_PARAMETER;  // the only types an SMM core's pool serves
  }
  if (PoolOutsideSmram) {
    return P.Boot.AllocatePool(Type, Size, Buffer);
  }
  const UINTN Rounded = (Size + SmmPoolAlignment) & ~(SmmPoolAlignment - 1);
  if (Size > SmramSize || PoolNext + Rounded > SmramSize) {
    return EFI_OUT_OF_RESOURCES;
  }
  UINT8 *Block = Smram.get() + PoolNext;
  PoolNext += Rounded;
  std::memset(Block, FreshPoolFill, Size);
  Pool[Block] = Size;
  *Buffer = Block;
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::FreePool(VOID *Buffer) {
  auto It = Pool.find(Buffer);
  if (It == Pool.end()) {
    P.Error("SmmFreePool of a buffer the SMM pool never allocated");
    return EFI_INVALID_PARAMETER;
  }
  std::memset(Buffer, FreedPoolFill, It->second);
  Pool.erase(It);
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::InstallProtocol(EFI_HANDLE *Handle, const EFI_GUID *Guid, VOID *Interface) {
  if (Handle == nullptr || Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (*Handle == nullptr) {
    Handles.push_back(std::make_unique<UINT8>());
    *Handle = Handles.back().get();
  }
  for (const SmmProtocol &E : Protocols) {
    if (E.Handle == *Handle && GuidEqual(E.Guid, *Guid)) {
      return EFI_INVALID_PARAMETER;  // already on this handle
    }
  }
  Protocols.push_back({*Handle, *Guid, Interface});
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface) {
  if (Guid == nullptr || Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  for (const SmmProtocol &E : Protocols) {
    if (E.Handle == Handle && GuidEqual(E.Guid, *Guid)) {
      *Interface = E.Interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS SmmModel::LocateProtocol(const EFI_GUID *Guid, VOID *Registration, VOID **Interface) {
  if (Guid == nullptr || Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  if (Registration != nullptr) {
    P.Error("SmmLocateProtocol by registration key is not modelled");
    return EFI_NOT_FOUND;
  }
  for (const SmmProtocol &E : Protocols) {
    if (GuidEqual(E.Guid, *Guid)) {
      *Interface = E.Interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS SmmModel::InstallConfigurationTable(const EFI_GUID *Guid, VOID *Table) {
  bool Changed = false;
  const EFI_STATUS Status = InstallConfigurationEntry(Config, Guid, Table, Changed);
  if (Changed) {
    PublishConfig();
  }
  return Status;
}

EFI_STATUS SmmModel::SioAccessGate(BOOLEAN Acquire) {
  GateCall Call{Acquire, EFI_SUCCESS, P.Trace.size()};
  if (auto F = P.Faults.Check("SioAccessGate")) {
    Call.Status = F->Status;
  } else if (Acquire != FALSE) {
    if (Held) {
      P.Error("SioAccessGate(TRUE) while the gate is already held");
    }
    Held = true;
  } else {
    if (!Held) {
      P.Error("SioAccessGate(FALSE) without a held gate");
    }
    Held = false;
  }
  Gates.push_back(Call);
  return Call.Status;
}

}  // namespace Sim
