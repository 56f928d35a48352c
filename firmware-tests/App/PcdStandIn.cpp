// Stand-in PCD_PROTOCOL. OVMF has its own, which LocateProtocol finds first,
// so ours takes its place on OVMF's handle for the length of a scenario.
// Only Get32 is ours, and only for the driver under test: OVMF's modules go
// on calling into OVMF's interface (every other slot is OVMF's pointer).
#include "DriverUnderTest.h"
#include "StandIns.h"

namespace {

constexpr UINTN MaxValues = 32;
PcdValue gValues[MaxValues];
UINTN gValueCount;

constexpr UINTN MaxReads = 64;
UINTN gReadTokens[MaxReads];
UINTN gReads;

// Stays valid for the whole run: drivers cache the pointer they located.
PCD_PROTOCOL gStandIn;
PCD_PROTOCOL *gFirmwarePcd;
EFI_HANDLE gFirmwareHandle;
bool gInstalled;

UINT32 EFIAPI StandInGet32(UINTN TokenNumber) {
  const Caller From = CallerOf(__builtin_return_address(0));
  if (From == Caller::Firmware) {
    return gFirmwarePcd->Get32(TokenNumber);
  }
  if (From == Caller::DriverUnderTest) {
    if (gReads < MaxReads) {
      gReadTokens[gReads] = TokenNumber;
    }
    ++gReads;
  }
  for (UINTN I = 0; I < gValueCount; ++I) {
    if (gValues[I].Token == TokenNumber) {
      return gValues[I].Value;
    }
  }
  // Not chosen by the scenario: never passed on, OVMF does not know our
  // token numbers and its PCD driver does not take unknown ones kindly.
  return 0;
}

}  // namespace

namespace PcdStandIn {

bool Install(const PcdValue *Values, UINTN Count) {
  gValueCount = 0;
  for (UINTN I = 0; I < Count && I < MaxValues; ++I) {
    gValues[gValueCount++] = Values[I];
  }
  gReads = 0;
  if (gInstalled) {
    return Check("pcd-stand-in", true);
  }

  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_HANDLE Handles[4] = {};
  UINTN Size = sizeof(Handles);
  EFI_STATUS Status = Bs->LocateHandle(ByProtocol, &PCD_PROTOCOL_GUID, nullptr, &Size, Handles);
  if (EFI_ERROR(Status) || Size != sizeof(EFI_HANDLE)) {
    return Check("pcd-stand-in", false,
                 Line().Str("LocateHandle(PCD_PROTOCOL) = ").Status(Status).Str(", ")
                     .Dec(Size / sizeof(EFI_HANDLE)).Str(" handles"));
  }
  gFirmwareHandle = Handles[0];
  VOID *Interface = nullptr;
  Status = Bs->HandleProtocol(gFirmwareHandle, &PCD_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status) || Interface == nullptr) {
    return Check("pcd-stand-in", false, Line().Str("HandleProtocol = ").Status(Status));
  }
  gFirmwarePcd = static_cast<PCD_PROTOCOL *>(Interface);
  gStandIn = *gFirmwarePcd;
  gStandIn.Get32 = StandInGet32;
  Status = Bs->ReinstallProtocolInterface(gFirmwareHandle, &PCD_PROTOCOL_GUID, gFirmwarePcd,
                                          &gStandIn);
  VOID *Located = nullptr;
  Bs->LocateProtocol(&PCD_PROTOCOL_GUID, nullptr, &Located);
  gInstalled = !EFI_ERROR(Status);
  return Check("pcd-stand-in", gInstalled && Located == &gStandIn,
               Line().Str("ReinstallProtocolInterface = ").Status(Status)
                   .Str(Located == &gStandIn ? "" : ", LocateProtocol finds another"));
}

bool Restore() {
  if (!gInstalled) {
    return Check("pcd-restored", false, "stand-in was not installed");
  }
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  const EFI_STATUS Status = Bs->ReinstallProtocolInterface(gFirmwareHandle, &PCD_PROTOCOL_GUID,
                                                           &gStandIn, gFirmwarePcd);
  VOID *Located = nullptr;
  Bs->LocateProtocol(&PCD_PROTOCOL_GUID, nullptr, &Located);
  gInstalled = EFI_ERROR(Status);
  return Check("pcd-restored", !EFI_ERROR(Status) && Located == gFirmwarePcd,
               Line().Str("ReinstallProtocolInterface = ").Status(Status));
}

UINTN Reads() { return gReads; }
UINTN ReadToken(UINTN Index) { return Index < MaxReads && Index < gReads ? gReadTokens[Index] : 0; }

}  // namespace PcdStandIn
