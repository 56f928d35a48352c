#include "Simulator/SmbiosStore.h"

#include <cstring>

#include "Simulator/Platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif
#if defined(SIM_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace Sim {

namespace {

// Handles at and above this are reserved by the PI specification.
constexpr EFI_SMBIOS_HANDLE SmbiosHandleReservedBegin = 0xFF00;
constexpr UINT8 SmbiosMajorVersion = 3;
constexpr UINT8 SmbiosMinorVersion = 0;

SmbiosStore &Store() { return Platform::Current().Smbios; }

EFI_STATUS EFIAPI SimSmbiosAdd(const EFI_SMBIOS_PROTOCOL *, EFI_HANDLE Producer,
                               EFI_SMBIOS_HANDLE *Handle, EFI_SMBIOS_TABLE_HEADER *Record) {
  if (auto F = Inject("SmbiosAdd")) {
    return F->Status;
  }
  return Store().Add(Producer, Handle, Record);
}

EFI_STATUS EFIAPI SimSmbiosUpdateString(const EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                        UINTN *StringNumber, CHAR8 *String) {
  if (auto F = Inject("SmbiosUpdateString")) {
    return F->Status;
  }
  return Store().UpdateString(Handle, StringNumber, String);
}

EFI_STATUS EFIAPI SimSmbiosRemove(const EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE Handle) {
  if (auto F = Inject("SmbiosRemove")) {
    return F->Status;
  }
  return Store().Remove(Handle);
}

EFI_STATUS EFIAPI SimSmbiosGetNext(const EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                   EFI_SMBIOS_TYPE *Type, EFI_SMBIOS_TABLE_HEADER **Record,
                                   EFI_HANDLE *Producer) {
  if (auto F = Inject("SmbiosGetNext")) {
    // NullInterface: claims success but hands no record back.
    return F->NullInterface ? EFI_SUCCESS : F->Status;
  }
  return Store().GetNext(Handle, Type, Record, Producer);
}

}  // namespace

SmbiosStore::SmbiosStore() {
  Proto.Add = SimSmbiosAdd;
  Proto.UpdateString = SimSmbiosUpdateString;
  Proto.Remove = SimSmbiosRemove;
  Proto.GetNext = SimSmbiosGetNext;
  Proto.MajorVersion = SmbiosMajorVersion;
  Proto.MinorVersion = SmbiosMinorVersion;
}

SmbiosStore::~SmbiosStore() {
#if defined(SIM_ASAN)
  for (Retired &R : Graveyard) {
    ASAN_UNPOISON_MEMORY_REGION(R.Data.get(), R.Size);
  }
#endif
}

UINTN SmbiosStore::RecordSize(const EFI_SMBIOS_TABLE_HEADER *Record) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Record);
  UINTN I = Record->Length;
  // The string area ends with a double NUL (just two NULs when it is empty).
  while (!(Bytes[I] == 0 && Bytes[I + 1] == 0)) {
    ++I;
  }
  return I + 2;
}

SmbiosStore::Entry *SmbiosStore::Find(EFI_SMBIOS_HANDLE Handle) {
  for (Entry &E : Records) {
    if (E.Handle == Handle) {
      return &E;
    }
  }
  return nullptr;
}

const SmbiosStore::Entry *SmbiosStore::Find(EFI_SMBIOS_HANDLE Handle) const {
  return const_cast<SmbiosStore *>(this)->Find(Handle);
}

EFI_SMBIOS_HANDLE SmbiosStore::FreeHandle() const {
  for (EFI_SMBIOS_HANDLE H = 0; H < SmbiosHandleReservedBegin; ++H) {
    if (Find(H) == nullptr) {
      return H;
    }
  }
  return SMBIOS_HANDLE_PI_RESERVED;
}

EFI_STATUS SmbiosStore::Add(EFI_HANDLE Producer, EFI_SMBIOS_HANDLE *Handle,
                            const EFI_SMBIOS_TABLE_HEADER *Record) {
  if (Handle == nullptr || Record == nullptr ||
      Record->Length < sizeof(EFI_SMBIOS_TABLE_HEADER)) {
    return EFI_INVALID_PARAMETER;
  }
  if (*Handle == SMBIOS_HANDLE_PI_RESERVED) {
    *Handle = FreeHandle();
    if (*Handle == SMBIOS_HANDLE_PI_RESERVED) {
      return EFI_OUT_OF_RESOURCES;
    }
  } else if (*Handle >= SmbiosHandleReservedBegin || Find(*Handle) != nullptr) {
    return EFI_ALREADY_STARTED;
  }
  const UINTN Size = RecordSize(Record);
  Entry E{*Handle, Producer, std::make_unique<UINT8[]>(Size), Size};
  std::memcpy(E.Data.get(), Record, Size);
  // The stored copy carries the handle it was given.
  reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(E.Data.get())->Handle = *Handle;
  Records.push_back(std::move(E));
  return EFI_SUCCESS;
}

void SmbiosStore::Retire(Entry &E) {
  std::memset(E.Data.get(), PoisonByte, E.Size);
#if defined(SIM_ASAN)
  ASAN_POISON_MEMORY_REGION(E.Data.get(), E.Size);
#endif
  Graveyard.push_back({std::move(E.Data), E.Size});
}

EFI_STATUS SmbiosStore::UpdateString(EFI_SMBIOS_HANDLE *Handle, UINTN *StringNumber,
                                     const CHAR8 *String) {
  if (Handle == nullptr || StringNumber == nullptr || String == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN NewLength = std::strlen(String);
  if (NewLength > StringMaxLength) {
    return EFI_UNSUPPORTED;
  }
  Entry *E = Find(*Handle);
  if (E == nullptr) {
    return EFI_NOT_FOUND;
  }
  const std::vector<std::string> Old = Strings(*Handle);
  if (*StringNumber == 0 || *StringNumber > Old.size()) {
    return EFI_NOT_FOUND;
  }
  // The formatted area as it stands now (with any change made in place),
  // then the strings with the one replaced.
  const UINT8 Length = reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(E->Data.get())->Length;
  std::vector<UINT8> Rebuilt(E->Data.get(), E->Data.get() + Length);
  for (UINTN I = 0; I < Old.size(); ++I) {
    const std::string S = (I + 1 == *StringNumber) ? std::string(String) : Old[I];
    Rebuilt.insert(Rebuilt.end(), S.begin(), S.end());
    Rebuilt.push_back(0);
  }
  Rebuilt.push_back(0);  // at least one string: the double NUL is complete
  auto Data = std::make_unique<UINT8[]>(Rebuilt.size());
  std::memcpy(Data.get(), Rebuilt.data(), Rebuilt.size());
  Retire(*E);
  E->Data = std::move(Data);
  E->Size = Rebuilt.size();
  ++UpdateCount;
  return EFI_SUCCESS;
}

EFI_STATUS SmbiosStore::Remove(EFI_SMBIOS_HANDLE Handle) {
  for (auto It = Records.begin(); It != Records.end(); ++It) {
    if (It->Handle == Handle) {
      Retire(*It);
      Records.erase(It);
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS SmbiosStore::GetNext(EFI_SMBIOS_HANDLE *Handle, const EFI_SMBIOS_TYPE *Type,
                                EFI_SMBIOS_TABLE_HEADER **Record, EFI_HANDLE *Producer) {
  if (Handle == nullptr || Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  size_t From = 0;
  if (*Handle != SMBIOS_HANDLE_PI_RESERVED) {
    From = Records.size();  // an unknown handle continues nowhere
    for (size_t I = 0; I < Records.size(); ++I) {
      if (Records[I].Handle == *Handle) {
        From = I + 1;
      }
    }
  }
  for (size_t I = From; I < Records.size(); ++I) {
    auto *Header = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Records[I].Data.get());
    if (Type != nullptr && Header->Type != *Type) {
      continue;
    }
    *Handle = Records[I].Handle;
    *Record = Header;
    if (Producer != nullptr) {
      *Producer = Records[I].Producer;
    }
    return EFI_SUCCESS;
  }
  *Handle = SMBIOS_HANDLE_PI_RESERVED;
  return EFI_NOT_FOUND;
}

EFI_SMBIOS_HANDLE SmbiosStore::AddSlot(UINT16 SlotId, const std::string &Designation,
                                       UINT8 Length) {
  std::vector<UINT8> F(Length < sizeof(EFI_SMBIOS_TABLE_HEADER) ? sizeof(EFI_SMBIOS_TABLE_HEADER)
                                                                : Length,
                       0);
  F[0] = SMBIOS_TYPE_SYSTEM_SLOTS;
  F[1] = static_cast<UINT8>(F.size());
  const auto Put = [&F](size_t Offset, UINT8 V) {
    if (Offset < F.size()) {
      F[Offset] = V;
    }
  };
  Put(offsetof(SMBIOS_TABLE_TYPE9, SlotDesignation), 1);
  Put(offsetof(SMBIOS_TABLE_TYPE9, SlotID), static_cast<UINT8>(SlotId));
  Put(offsetof(SMBIOS_TABLE_TYPE9, SlotID) + 1, static_cast<UINT8>(SlotId >> 8));
  return AddRaw(F, {Designation});
}

EFI_SMBIOS_HANDLE SmbiosStore::AddRaw(const std::vector<UINT8> &Formatted,
                                      const std::vector<std::string> &StringList) {
  std::vector<UINT8> Bytes = Formatted;
  for (const std::string &S : StringList) {
    Bytes.insert(Bytes.end(), S.begin(), S.end());
    Bytes.push_back(0);
  }
  Bytes.push_back(0);
  if (StringList.empty()) {
    Bytes.push_back(0);
  }
  Bytes.push_back(0);  // slack, so the double-NUL scan never runs off the end
  EFI_SMBIOS_HANDLE H = SMBIOS_HANDLE_PI_RESERVED;
  if (EFI_ERROR(Add(nullptr, &H, reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(Bytes.data())))) {
    ErrorLog.push_back("scenario could not add an SMBIOS record");
  }
  return H;
}

std::vector<EFI_SMBIOS_HANDLE> SmbiosStore::Handles() const {
  std::vector<EFI_SMBIOS_HANDLE> Out;
  for (const Entry &E : Records) {
    Out.push_back(E.Handle);
  }
  return Out;
}

std::vector<UINT8> SmbiosStore::Bytes(EFI_SMBIOS_HANDLE Handle) const {
  const Entry *E = Find(Handle);
  return E == nullptr ? std::vector<UINT8>() : std::vector<UINT8>(E->Data.get(), E->Data.get() + E->Size);
}

std::vector<std::string> SmbiosStore::Strings(EFI_SMBIOS_HANDLE Handle) const {
  std::vector<std::string> Out;
  const Entry *E = Find(Handle);
  if (E == nullptr) {
    return Out;
  }
  const auto *P = reinterpret_cast<const char *>(E->Data.get()) +
                  reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(E->Data.get())->Length;
  while (*P != 0) {
    Out.emplace_back(P);
    P += Out.back().size() + 1;
  }
  return Out;
}

UINT16 SmbiosStore::SlotId(EFI_SMBIOS_HANDLE Handle) const {
  const std::vector<UINT8> B = Bytes(Handle);
  constexpr size_t At = offsetof(SMBIOS_TABLE_TYPE9, SlotID);
  if (B.size() < 2 || B[1] < At + 2) {
    return 0;
  }
  return static_cast<UINT16>(B[At] | (B[At + 1] << 8));
}

std::string SmbiosStore::SlotDesignation(EFI_SMBIOS_HANDLE Handle) const {
  const std::vector<UINT8> B = Bytes(Handle);
  constexpr size_t At = offsetof(SMBIOS_TABLE_TYPE9, SlotDesignation);
  if (B.size() < 2 || B[1] <= At || B[At] == 0) {
    return "";
  }
  const std::vector<std::string> S = Strings(Handle);
  return B[At] <= S.size() ? S[B[At] - 1] : "";
}

bool SmbiosStore::StaleAccessFaults() {
#if defined(SIM_ASAN)
  return true;
#else
  return false;
#endif
}

std::vector<std::string> SmbiosStore::Errors() const {
  std::vector<std::string> All = ErrorLog;
  for (const Retired &R : Graveyard) {
#if defined(SIM_ASAN)
    // Poisoned: any access would already have stopped the run.
    (void)R;
#else
    for (UINTN I = 0; I < R.Size; ++I) {
      if (R.Data[I] != PoisonByte) {
        All.push_back("write through a stale SMBIOS record pointer (record rebuilt or removed)");
        break;
      }
    }
#endif
  }
  return All;
}

}  // namespace Sim
