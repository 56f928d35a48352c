// UsbSupportS5Smm loaded as an ordinary DXE image. OVMF's SMM core only
// dispatches SMM drivers from its firmware volumes, so an image started with
// LoadImage/StartImage runs outside SMRAM: with SMM built in, the real
// EFI_SMM_BASE2_PROTOCOL reports "not in SMM" and offers no SMST, and the
// driver must load quietly with nothing registered; without SMM, the base
// protocol is missing and the load must fail with the lookup's status.
#include "DriverUnderTest.h"

namespace {

// LoadImage + StartImage of the embedded SMM driver; the start status is
// the scenario's to judge, so it is returned rather than checked here.
bool LoadSmmDriver(EFI_STATUS *StartStatus) {
  const EmbeddedImage *Image = FindEmbeddedImage("UsbSupportS5Smm");
  if (!Check("image-embedded", Image != nullptr, "UsbSupportS5Smm not built in")) {
    return false;
  }
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Load = Bs->LoadImage(FALSE, gApp.ImageHandle, nullptr,
                                        const_cast<UINT8 *>(Image->Bytes), Image->Size, &Handle);
  Info(Line().Str("LoadImage(UsbSupportS5Smm, ").Dec(Image->Size).Str(" bytes) = ").Status(Load));
  if (!Check("load-image", Load == EFI_SUCCESS, Line().Str("LoadImage returned ").Status(Load))) {
    return false;
  }
  UINTN ExitDataSize = 0;
  *StartStatus = Bs->StartImage(Handle, &ExitDataSize, nullptr);
  Info(Line().Str("StartImage = ").Status(*StartStatus));
  return true;
}

EFI_SMM_BASE2_PROTOCOL *LocateSmmBase(EFI_STATUS *Status) {
  VOID *Interface = nullptr;
  *Status = gApp.BootServices->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &Interface);
  return EFI_ERROR(*Status) ? nullptr : static_cast<EFI_SMM_BASE2_PROTOCOL *>(Interface);
}

}  // namespace

VOID SmmDriverOutsideSmramScenario() {
  // The firmware's own answers first: they are what the driver meets.
  EFI_STATUS Status = EFI_SUCCESS;
  EFI_SMM_BASE2_PROTOCOL *SmmBase = LocateSmmBase(&Status);
  if (!Check("base2-present", SmmBase != nullptr, Line().Str("LocateProtocol ").Status(Status))) {
    return;
  }
  BOOLEAN InSmram = TRUE;
  SmmBase->InSmm(SmmBase, &InSmram);
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  const EFI_STATUS SmstStatus = SmmBase->GetSmstLocation(SmmBase, &Smst);
  Info(Line().Str("InSmm = ").Dec(InSmram).Str(", GetSmstLocation = ").Status(SmstStatus)
           .Str(", SMST ").Hex(reinterpret_cast<UINTN>(Smst)));
  Check("not-in-smm", InSmram == FALSE);
  Check("no-smst", Smst == nullptr, Line().Str("SMST at ").Hex(reinterpret_cast<UINTN>(Smst)));

  EFI_STATUS Start = EFI_LOAD_ERROR;
  if (!LoadSmmDriver(&Start)) {
    return;
  }
  // Reaching the next line at all means the load did not fault.
  Check("start-success", Start == EFI_SUCCESS, Line().Str("StartImage returned ").Status(Start));
}

VOID SmmDriverWithoutSmmScenario() {
  EFI_STATUS Lookup = EFI_SUCCESS;
  Check("base2-absent", LocateSmmBase(&Lookup) == nullptr && Lookup == EFI_NOT_FOUND,
        Line().Str("LocateProtocol ").Status(Lookup));
  EFI_STATUS Start = EFI_SUCCESS;
  if (!LoadSmmDriver(&Start)) {
    return;
  }
  Check("start-not-found", Start == EFI_NOT_FOUND, Line().Str("StartImage returned ").Status(Start));
}
