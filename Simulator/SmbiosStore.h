// The platform's SMBIOS table behind EFI_SMBIOS_PROTOCOL. Each record lives
// in a buffer of its own: GetNext hands out a pointer into that stored copy,
// so a write through it changes the table. UpdateString rebuilds the record
// in a new buffer; the old one is kept poisoned, and a later write through a
// stale pointer is reported as an error (under AddressSanitizer any access
// to it faults at once).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Uefi/Smbios.h"

namespace Sim {

class SmbiosStore {
 public:
  static constexpr UINTN StringMaxLength = 64;  // without the NUL
  static constexpr UINT8 PoisonByte = 0xDE;

  SmbiosStore();
  ~SmbiosStore();
  SmbiosStore(const SmbiosStore &) = delete;
  SmbiosStore &operator=(const SmbiosStore &) = delete;
  EFI_SMBIOS_PROTOCOL *Protocol() { return &Proto; }

  // --- the protocol's services -------------------------------------------
  EFI_STATUS Add(EFI_HANDLE Producer, EFI_SMBIOS_HANDLE *Handle,
                 const EFI_SMBIOS_TABLE_HEADER *Record);
  EFI_STATUS UpdateString(EFI_SMBIOS_HANDLE *Handle, UINTN *StringNumber, const CHAR8 *String);
  EFI_STATUS Remove(EFI_SMBIOS_HANDLE Handle);
  EFI_STATUS GetNext(EFI_SMBIOS_HANDLE *Handle, const EFI_SMBIOS_TYPE *Type,
                     EFI_SMBIOS_TABLE_HEADER **Record, EFI_HANDLE *Producer);

  // --- for scenarios and checks -------------------------------------------
  // A type 9 record: formatted area of Length bytes (at least 11 holds a
  // Slot ID), designation as string 1. Returns the handle assigned.
  EFI_SMBIOS_HANDLE AddSlot(UINT16 SlotId, const std::string &Designation, UINT8 Length = 0x11);
  // A record of any type: formatted bytes (Type, Length, Handle first) and its strings.
  EFI_SMBIOS_HANDLE AddRaw(const std::vector<UINT8> &Formatted,
                           const std::vector<std::string> &Strings);

  std::vector<EFI_SMBIOS_HANDLE> Handles() const;
  // The whole stored record (formatted area, strings, double NUL); empty if absent.
  std::vector<UINT8> Bytes(EFI_SMBIOS_HANDLE Handle) const;
  std::vector<std::string> Strings(EFI_SMBIOS_HANDLE Handle) const;
  UINT16 SlotId(EFI_SMBIOS_HANDLE Handle) const;
  std::string SlotDesignation(EFI_SMBIOS_HANDLE Handle) const;

  unsigned Updates() const { return UpdateCount; }
  // True in a sanitizer build: a stale access stops the run instead of
  // being reported by Errors().
  static bool StaleAccessFaults();
  // Checks the retired buffers: misuse is reported here.
  std::vector<std::string> Errors() const;

 private:
  struct Entry {
    EFI_SMBIOS_HANDLE Handle;
    EFI_HANDLE Producer;
    std::unique_ptr<UINT8[]> Data;
    UINTN Size;
  };
  struct Retired {
    std::unique_ptr<UINT8[]> Data;
    UINTN Size;
  };
  static UINTN RecordSize(const EFI_SMBIOS_TABLE_HEADER *Record);
  Entry *Find(EFI_SMBIOS_HANDLE Handle);
  const Entry *Find(EFI_SMBIOS_HANDLE Handle) const;
  EFI_SMBIOS_HANDLE FreeHandle() const;
  void Retire(Entry &E);

  EFI_SMBIOS_PROTOCOL Proto{};
  std::vector<Entry> Records;  // Add order, which is GetNext order
  std::vector<Retired> Graveyard;
  std::vector<std::string> ErrorLog;
  unsigned UpdateCount = 0;
};

}  // namespace Sim
