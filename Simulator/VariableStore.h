// UEFI variables with the real GetVariable size rules, and the runtime
// services table that serves them.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Uefi/SystemTable.h"

namespace Sim {

class VariableStore {
 public:
  VariableStore();
  EFI_RUNTIME_SERVICES *Table() { return &Rt; }

  void Set(const std::u16string &Name, const EFI_GUID &Guid, std::vector<UINT8> Data,
           UINT32 Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                               EFI_VARIABLE_RUNTIME_ACCESS);
  void Remove(const std::u16string &Name, const EFI_GUID &Guid);
  const std::vector<UINT8> *Find(const std::u16string &Name, const EFI_GUID &Guid) const;

  EFI_STATUS GetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                         UINTN *DataSize, VOID *Data);
  EFI_STATUS SetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                         UINTN DataSize, const VOID *Data);

  struct Read {
    std::u16string Name;
    UINTN SizeIn;
    EFI_STATUS Status;
  };
  const std::vector<Read> &Reads() const { return ReadLog; }

 private:
  using Key = std::pair<std::u16string, std::string>;
  static Key MakeKey(const std::u16string &Name, const EFI_GUID &Guid);
  struct Value {
    UINT32 Attributes;
    std::vector<UINT8> Data;
  };
  EFI_RUNTIME_SERVICES Rt{};
  std::map<Key, Value> Vars;
  std::vector<Read> ReadLog;
};

}  // namespace Sim
