// Stand-in PCD_PROTOCOL. OVMF has its own, which LocateProtocol finds first,
// so ours takes its place on OVMF's handle for the rest of the boot. Only
// Get32 is ours: every other slot is OVMF's pointer, and OVMF's own tokens go
// on to OVMF.
#include "Caller.h"
#include "StandIns.h"

namespace {

constexpr UINTN MaxValues = 32;
PcdValue gValues[MaxValues];
UINTN gValueCount;

// The board's dynamic tokens: the NIC root ports and the option-ROM rows.
// OVMF does not know them, and its Get32 does not take unknown tokens
// kindly, so they are never passed on, whoever asks.
constexpr UINTN NicRootPortTokens[] = {630, 631};
constexpr UINTN FirstOpromToken = 655;
constexpr UINTN LastOpromToken = 668;

bool BoardToken(UINTN Token) {
  for (UINTN T : NicRootPortTokens) {
    if (T == Token) {
      return true;
    }
  }
  return Token >= FirstOpromToken && Token <= LastOpromToken;
}

// Stays valid for the whole run: drivers cache the pointer they located.
PCD_PROTOCOL gStandIn;
PCD_PROTOCOL *gFirmwarePcd;
EFI_HANDLE gFirmwareHandle;
bool gInstalled;

UINT32 EFIAPI StandInGet32(UINTN TokenNumber) {
  const Caller From = CallerOf(__builtin_return_address(0));
  if (From == Caller::Firmware && !BoardToken(TokenNumber)) {
    return gFirmwarePcd->Get32(TokenNumber);
  }
  if (From == Caller::DriverUnderTest) {
    PcdLog &Log = *StandInLogs::Pcd();
    if (Log.Reads < PcdLog::MaxReads) {
      Log.Tokens[Log.Reads] = TokenNumber;
    }
    ++Log.Reads;
  }
  for (UINTN I = 0; I < gValueCount; ++I) {
    if (gValues[I].Token == TokenNumber) {
      return gValues[I].Value;
    }
  }
  return 0;
}

}  // namespace

namespace PcdStandIn {

bool Install(const Section &Sec, const PcdValue *Values, UINTN Count) {
  gValueCount = 0;
  for (UINTN I = 0; I < Count && I < MaxValues; ++I) {
    gValues[gValueCount++] = Values[I];
  }
  StandInLogs::Pcd()->Reads = 0;
  if (gInstalled) {
    return Sec.Check("pcd-stand-in", true);
  }

  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_HANDLE Handles[4] = {};
  UINTN Size = sizeof(Handles);
  EFI_STATUS Status = Bs->LocateHandle(ByProtocol, &PCD_PROTOCOL_GUID, nullptr, &Size, Handles);
  if (EFI_ERROR(Status) || Size != sizeof(EFI_HANDLE)) {
    return Sec.Check("pcd-stand-in", false,
                     Line().Str("LocateHandle(PCD_PROTOCOL) = ").Status(Status).Str(", ")
                         .Dec(Size / sizeof(EFI_HANDLE)).Str(" handles"));
  }
  gFirmwareHandle = Handles[0];
  VOID *Interface = nullptr;
  Status = Bs->HandleProtocol(gFirmwareHandle, &PCD_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status) || Interface == nullptr) {
    return Sec.Check("pcd-stand-in", false, Line().Str("HandleProtocol = ").Status(Status));
  }
  gFirmwarePcd = static_cast<PCD_PROTOCOL *>(Interface);
  gStandIn = *gFirmwarePcd;
  gStandIn.Get32 = StandInGet32;
  Status = Bs->ReinstallProtocolInterface(gFirmwareHandle, &PCD_PROTOCOL_GUID, gFirmwarePcd,
                                          &gStandIn);
  VOID *Located = nullptr;
  Bs->LocateProtocol(&PCD_PROTOCOL_GUID, nullptr, &Located);
  gInstalled = !EFI_ERROR(Status);
  return Sec.Check("pcd-stand-in", gInstalled && Located == &gStandIn,
                   Line().Str("ReinstallProtocolInterface = ").Status(Status)
                       .Str(Located == &gStandIn ? "" : ", LocateProtocol finds another"));
}

}  // namespace PcdStandIn
