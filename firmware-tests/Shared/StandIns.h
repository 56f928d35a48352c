// The platform parts OVMF lacks: a Setup-string protocol that records what
// it is told, a PCD protocol with our token values, a HOB list with a
// riser-card HOB and an SMBus host controller. Played by the DXE stand-in
// driver (StandInDxe/); what they record is kept in plain logs (below), which
// the application reads through the stand-in's record.
#pragma once

#include "TestApp.h"

// Interface records a stand-in installs, one per handle, so that a protocol
// can be installed again on a new handle during a boot.
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

struct SetupStringLog {
  static constexpr UINTN MaxOps = 160;
  SetupStringOp Ops[MaxOps];
  UINTN Count;
  bool Overflow;
  UINTN FirmwareCalls;
};

namespace SetupStringStandIn {
// Calls from the driver under test are recorded; calls from anywhere else
// are only counted.
VOID Reset();  // forget what was recorded
// Installs a fresh copy of the interface on a new handle (*Handle is set).
EFI_STATUS Install(EFI_HANDLE *Handle);
UINTN Count();
const SetupStringOp &Op(UINTN Index);
bool Overflowed();
UINTN FirmwareCalls();
}  // namespace SetupStringStandIn

// ---- PCD_PROTOCOL -----------------------------------------------------
struct PcdValue {
  UINTN Token;
  UINT32 Value;
};

struct PcdLog {
  static constexpr UINTN MaxReads = 64;
  UINTN Tokens[MaxReads];  // Get32 calls of the driver under test, in call order
  UINTN Reads;             // all of them, also past MaxReads
};

namespace PcdStandIn {
// Replaces OVMF's PCD_PROTOCOL on OVMF's own handle, for the rest of the
// boot (drivers keep the pointer they located). Get32 answers the board's
// tokens (630, 631, 655-668) and every call from our driver from the listed
// values (a token not listed reads 0), and passes every other call on to
// OVMF's interface: OVMF's own modules keep their values, and OVMF's Get32
// never sees a token it does not know. Checks "pcd-stand-in".
bool Install(const Section &Sec, const PcdValue *Values, UINTN Count);
UINTN Reads();                 // Get32 calls of the driver under test, since Install
UINTN ReadToken(UINTN Index);  // their tokens, in call order
}  // namespace PcdStandIn

// ---- HOB list -----------------------------------------------------------
namespace HobListOverride {
VOID *FirmwareHobList();  // the configuration-table entry, now
// A copy of the firmware's list with a riser-card HOB appended, put in the
// configuration table under the HOB-list GUID for the rest of the boot.
// Checks "riser-hob-list".
bool InstallWithRiser(const Section &Sec, UINT8 Flag);
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

struct SmbusLog {
  static constexpr UINTN MaxCalls = 8;
  SmbusCall Calls[MaxCalls];
  UINTN Count;  // all calls of the driver under test, also past MaxCalls
  UINTN FirmwareCalls;
  UINT8 Answer;
};

namespace SmbusStandIn {
// Forget what was recorded; byte reads of the device answer Answer.
VOID Reset(UINT8 Answer);
// A fresh interface on a new handle (*Handle is set).
EFI_STATUS Install(EFI_HANDLE *Handle);
// Calls from the driver under test are recorded; others only counted.
UINTN Count();
const SmbusCall &Call(UINTN Index);
UINTN FirmwareCalls();
}  // namespace SmbusStandIn

// ---- The logs -------------------------------------------------------------
// What the accessors above read. By default the logs the stand-ins of this
// image write; the application points them at the logs of the stand-in
// driver instead (through its record protocol), and then only reads.
namespace StandInLogs {
SetupStringLog *SetupStrings();
PcdLog *Pcd();
SmbusLog *Smbus();
VOID Use(SetupStringLog *Strings, PcdLog *Pcd, SmbusLog *Smbus);
}  // namespace StandInLogs
