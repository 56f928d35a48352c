// UsbSupportS5Smm started as an ordinary DXE image: the PE32 section of its
// file, read from the firmware volume, through LoadImage and StartImage. The
// SMM core only loads SMM drivers into SMRAM itself, so this copy runs
// outside SMRAM. With SMM built in, the real EFI_SMM_BASE2_PROTOCOL reports
// "not in SMM" and offers no SMST, and the driver must load quietly with
// nothing registered; without SMM, the base protocol is missing and the load
// must fail with the lookup's status.
#include "DispatchApp.h"
#include "DispatchBoot.h"
#include "SmmBench.h"

namespace {

EFI_SMM_BASE2_PROTOCOL *LocateSmmBase(EFI_STATUS *Status) {
  VOID *Interface = nullptr;
  *Status = gApp.BootServices->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &Interface);
  return EFI_ERROR(*Status) ? nullptr : static_cast<EFI_SMM_BASE2_PROTOCOL *>(Interface);
}

// LoadImage + StartImage of the driver's PE32 section; the start status is
// the caller's to judge. False when it could not be started at all.
bool StartFromVolume(const Section &Sec, EFI_STATUS *StartStatus) {
  VOID *Pe32 = nullptr;
  UINTN Size = 0;
  if (!Sec.Check("pe32-in-volume",
                 ReadFileSection(DispatchBoot::UsbSupportS5SmmFile, EFI_SECTION_PE32, &Pe32, &Size),
                 "no firmware volume has UsbSupportS5Smm's PE32 section")) {
    return false;
  }
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Load = Bs->LoadImage(FALSE, gApp.ImageHandle, nullptr, Pe32, Size, &Handle);
  Bs->FreePool(Pe32);  // LoadImage took its own copy
  Sec.Info(Line().Str("LoadImage(UsbSupportS5Smm's PE32 section, ").Dec(Size).Str(" bytes) = ")
               .Status(Load));
  if (!Sec.Check("load-image", Load == EFI_SUCCESS,
                 Line().Str("LoadImage returned ").Status(Load))) {
    return false;
  }
  UINTN ExitDataSize = 0;
  *StartStatus = Bs->StartImage(Handle, &ExitDataSize, nullptr);
  Sec.Info(Line().Str("StartImage = ").Status(*StartStatus));
  return true;
}

}  // namespace

VOID CheckSmmDriverOutsideSmram(const Section &Sec) {
  // The firmware's own answers first: they are what the driver meets.
  EFI_STATUS Status = EFI_SUCCESS;
  EFI_SMM_BASE2_PROTOCOL *SmmBase = LocateSmmBase(&Status);
  if (!Sec.Check("base2-present", SmmBase != nullptr,
                 Line().Str("LocateProtocol ").Status(Status))) {
    return;
  }
  BOOLEAN InSmram = TRUE;
  SmmBase->InSmm(SmmBase, &InSmram);
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  const EFI_STATUS SmstStatus = SmmBase->GetSmstLocation(SmmBase, &Smst);
  Sec.Info(Line().Str("InSmm = ").Dec(InSmram).Str(", GetSmstLocation = ").Status(SmstStatus)
               .Str(", SMST ").Hex(reinterpret_cast<UINTN>(Smst)));
  Sec.Check("not-in-smm", InSmram == FALSE);
  Sec.Check("no-smst", Smst == nullptr, Line().Str("SMST at ").Hex(reinterpret_cast<UINTN>(Smst)));

  EFI_STATUS Start = EFI_LOAD_ERROR;
  if (StartFromVolume(Sec, &Start)) {
    // Reaching this line at all means the load did not fault.
    Sec.Check("start-success", Start == EFI_SUCCESS,
              Line().Str("StartImage returned ").Status(Start));
  }
}

VOID CheckWithoutSmm(const Section &Sec) {
  EFI_STATUS Lookup = EFI_SUCCESS;
  Sec.Check("base2-absent", LocateSmmBase(&Lookup) == nullptr && Lookup == EFI_NOT_FOUND,
            Line().Str("LocateProtocol ").Status(Lookup));
  // No SMM core: the SMM files sit in the volume and nothing loads them.
  DispatchedImage Image = {};
  const bool Driver = FindDispatchedImage(DispatchBoot::UsbSupportS5SmmFile, &Image);
  const bool StandIn = FindDispatchedImage(DispatchBoot::SmmStandInFile, &Image);
  const bool Report = SmmBench::FindReport(gApp.SystemTable) != nullptr;
  Sec.Check("smm-files-never-loaded", !Driver && !StandIn && !Report,
            Line().Str("loaded-image records: UsbSupportS5Smm ").Dec(Driver).Str(", SMM stand-in ")
                .Dec(StandIn).Str("; SMM stand-in report ").Dec(Report));
  Sec.Info(
      Line().Str("no SMM core: UsbSupportS5Smm and the SMM stand-in stay in the volume, unloaded"));

  EFI_STATUS Start = EFI_SUCCESS;
  if (StartFromVolume(Sec, &Start)) {
    Sec.Check("start-not-found", Start == EFI_NOT_FOUND,
              Line().Str("StartImage returned ").Status(Start));
  }
}
