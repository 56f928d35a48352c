// The platform parts OVMF lacks, played by the application: a Setup-string
// protocol that records what it is told, a PCD protocol with our token
// values, and a HOB list with a riser-card HOB.
#pragma once

#include "TestApp.h"

// Interface records a stand-in installs, one per handle, so that a protocol
// can be installed again on a new handle (and taken away) during a run.
template <typename Interface, UINTN Max>
struct InstalledStandIns {
  Interface Records[Max];
  EFI_HANDLE Handles[Max];
  UINTN Count;

  EFI_STATUS Install(const EFI_GUID &Guid, const Interface &Record, EFI_HANDLE *Handle) {
    if (Count == Max) {
      return EFI_OUT_OF_RESOURCES;
    }
    Records[Count] = Record;
    *Handle = nullptr;
    const EFI_STATUS Status = gApp.BootServices->InstallProtocolInterface(
        Handle, &Guid, EFI_NATIVE_INTERFACE, &Records[Count]);
    if (!EFI_ERROR(Status)) {
      Handles[Count++] = *Handle;
    }
    return Status;
  }

  EFI_STATUS Uninstall(const EFI_GUID &Guid, EFI_HANDLE Handle) {
    for (UINTN I = 0; I < Count; ++I) {
      if (Handles[I] == Handle) {
        return gApp.BootServices->UninstallProtocolInterface(Handle, &Guid, &Records[I]);
      }
    }
    return EFI_NOT_FOUND;
  }
};

// ---- SetupStringProtocol ------------------------------------------------
struct SetupStringOp {
  enum class Kind : UINT8 { Hide, Set };
  Kind K;
  UINT16 Id;
  const CHAR8 *Form;
  const CHAR8 *Text;   // the caller's pointer: the protocol may keep it
  EFI_TPL Tpl;         // the task priority the call ran at
};

namespace SetupStringStandIn {
// Calls from the driver under test are recorded; calls from earlier copies
// and from anywhere else are only counted.
VOID Reset();  // forget what was recorded
// Installs a fresh copy of the interface on a new handle (*Handle is set).
EFI_STATUS Install(EFI_HANDLE *Handle);
EFI_STATUS Uninstall(EFI_HANDLE Handle);
UINTN Count();
const SetupStringOp &Op(UINTN Index);
bool Overflowed();
UINTN EarlierCopyCalls();
UINTN FirmwareCalls();
}  // namespace SetupStringStandIn

// ---- PCD_PROTOCOL -----------------------------------------------------
struct PcdValue {
  UINTN Token;
  UINT32 Value;
};

namespace PcdStandIn {
// Replaces OVMF's PCD_PROTOCOL on OVMF's own handle. Get32 answers the
// listed tokens (others read 0) for calls from any copy of a driver we
// loaded and passes every other call on to OVMF's interface. Checks
// "pcd-stand-in".
bool Install(const PcdValue *Values, UINTN Count);
// Puts OVMF's interface back. Checks "pcd-restored".
bool Restore();
UINTN Reads();                 // Get32 calls of the driver under test, since Install
UINTN ReadToken(UINTN Index);  // their tokens, in call order
}  // namespace PcdStandIn

// ---- HOB list -----------------------------------------------------------
namespace HobListOverride {
VOID *FirmwareHobList();  // the configuration-table entry, now
// A copy of the firmware's list with a riser-card HOB appended, put in the
// configuration table under the HOB-list GUID. Checks "riser-hob-list".
bool InstallWithRiser(UINT8 Flag);
// The firmware's own entry back. Checks "hob-list-restored".
bool Restore();
// The first GUID HOB with that name in a list, walked here independently.
const EFI_HOB_GUID_TYPE *FindGuidHob(VOID *List, const EFI_GUID &Name);
}  // namespace HobListOverride

// ---- EFI_SMBUS_HC_PROTOCOL -----------------------------------------------
// OVMF has no SMBus host controller. The stand-in plays a bus with one
// device at the expander's address that answers a byte read with a chosen
// byte; every other address does not acknowledge.
struct SmbusCall {
  UINTN AddressWord;  // the whole EFI_SMBUS_DEVICE_ADDRESS, reserved bits too
  UINTN Command;
  UINT32 Operation;
  BOOLEAN PecCheck;
  bool HasLength;
  UINTN LengthIn;     // *Length on entry
  bool HasBuffer;
  UINT8 BufferIn;     // the data byte on entry
  EFI_TPL Tpl;
};

namespace SmbusStandIn {
// Forget what was recorded; byte reads of the device answer Answer.
VOID Reset(UINT8 Answer);
// A fresh interface on a new handle (*Handle is set).
EFI_STATUS Install(EFI_HANDLE *Handle);
EFI_STATUS Uninstall(EFI_HANDLE Handle);
// Calls from the driver under test are recorded; others only counted.
UINTN Count();
const SmbusCall &Call(UINTN Index);
UINTN EarlierCopyCalls();
UINTN FirmwareCalls();
}  // namespace SmbusStandIn
