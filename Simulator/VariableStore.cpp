#include "Simulator/VariableStore.h"

#include <cstring>

#include "Simulator/Platform.h"

namespace Sim {

namespace {

EFI_STATUS EFIAPI SimGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                 UINTN *DataSize, VOID *Data) {
  if (auto F = Platform::Current().Faults.Check("GetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.GetVariable(Name, Guid, Attributes, DataSize, Data);
}

EFI_STATUS EFIAPI SimSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                 UINTN DataSize, const VOID *Data) {
  if (auto F = Platform::Current().Faults.Check("SetVariable")) {
    return F->Status;
  }
  return Platform::Current().Variables.SetVariable(Name, Guid, Attributes, DataSize, Data);
}

}  // namespace

VariableStore::VariableStore() {
  Rt.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  Rt.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  Rt.GetVariable = SimGetVariable;
  Rt.SetVariable = SimSetVariable;
}

VariableStore::Key VariableStore::MakeKey(const std::u16string &Name, const EFI_GUID &Guid) {
  return {Name, std::string(reinterpret_cast<const char *>(&Guid), sizeof(Guid))};
}

void VariableStore::Set(const std::u16string &Name, const EFI_GUID &Guid,
                        std::vector<UINT8> Data, UINT32 Attributes) {
  Vars[MakeKey(Name, Guid)] = {Attributes, std::move(Data)};
}

void VariableStore::Remove(const std::u16string &Name, const EFI_GUID &Guid) {
  Vars.erase(MakeKey(Name, Guid));
}

const std::vector<UINT8> *VariableStore::Find(const std::u16string &Name,
                                              const EFI_GUID &Guid) const {
  auto It = Vars.find(MakeKey(Name, Guid));
  return It == Vars.end() ? nullptr : &It->second.Data;
}

EFI_STATUS VariableStore::GetVariable(const CHAR16 *Name, const EFI_GUID *Guid,
                                      UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string N(Name);
  const UINTN SizeIn = *DataSize;
  EFI_STATUS Status;
  auto It = Vars.find(MakeKey(N, *Guid));
  if (It == Vars.end()) {
    Status = EFI_NOT_FOUND;
  } else if (*DataSize < It->second.Data.size()) {
    *DataSize = It->second.Data.size();
    Status = EFI_BUFFER_TOO_SMALL;
  } else if (Data == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    // An empty variable has no bytes (and a vector's data() may be null).
    if (!It->second.Data.empty()) {
      std::memcpy(Data, It->second.Data.data(), It->second.Data.size());
    }
    *DataSize = It->second.Data.size();
    if (Attributes != nullptr) {
      *Attributes = It->second.Attributes;
    }
    Status = EFI_SUCCESS;
  }
  ReadLog.push_back({N, SizeIn, Status});
  return Status;
}

EFI_STATUS VariableStore::SetVariable(const CHAR16 *Name, const EFI_GUID *Guid,
                                      UINT32 Attributes, UINTN DataSize, const VOID *Data) {
  if (Name == nullptr || Guid == nullptr || (DataSize != 0 && Data == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  if (DataSize == 0 || Attributes == 0) {
    Remove(Name, *Guid);
    return EFI_SUCCESS;
  }
  const auto *Bytes = static_cast<const UINT8 *>(Data);
  Set(Name, *Guid, std::vector<UINT8>(Bytes, Bytes + DataSize), Attributes);
  return EFI_SUCCESS;
}

}  // namespace Sim
