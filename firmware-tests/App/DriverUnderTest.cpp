// Loading the embedded driver images through the firmware's own loader.
#include "DriverUnderTest.h"

namespace {

constexpr UINTN MaxLoadedDrivers = 16;
LoadedDriver gLoaded[MaxLoadedDrivers];
UINTN gLoadedCount;

}  // namespace

const EmbeddedImage *FindEmbeddedImage(const CHAR8 *Name) {
  for (UINTN I = 0; I < EmbeddedImageCount; ++I) {
    if (TextEqual(EmbeddedImages[I].Name, Name)) {
      return &EmbeddedImages[I];
    }
  }
  return nullptr;
}

bool LoadAndStart(const CHAR8 *ImageName, LoadedDriver *Driver) {
  *Driver = LoadedDriver{};
  const EmbeddedImage *Image = FindEmbeddedImage(ImageName);
  if (!Check("image-embedded", Image != nullptr, Line().Str(ImageName).Str(" not built in"))) {
    return false;
  }
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  Driver->LoadStatus = Bs->LoadImage(FALSE, gApp.ImageHandle, nullptr,
                                     const_cast<UINT8 *>(Image->Bytes), Image->Size,
                                     &Driver->ImageHandle);
  Info(Line().Str("LoadImage(").Str(Image->Name).Str(", ").Dec(Image->Size).Str(" bytes) = ")
           .Status(Driver->LoadStatus));
  if (!Check("load-image", Driver->LoadStatus == EFI_SUCCESS,
             Line().Str("LoadImage returned ").Status(Driver->LoadStatus))) {
    return false;
  }

  VOID *Interface = nullptr;
  EFI_STATUS Status =
      Bs->HandleProtocol(Driver->ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface);
  if (!EFI_ERROR(Status) && Interface != nullptr) {
    const auto *Loaded = static_cast<const EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
    Driver->Base = reinterpret_cast<UINTN>(Loaded->ImageBase);
    Driver->Size = Loaded->ImageSize;
  }
  // Registered before StartImage: the entry point itself calls the stand-ins.
  if (gLoadedCount < MaxLoadedDrivers) {
    gLoaded[gLoadedCount++] = *Driver;
  }
  Check("loaded-image-range", Driver->Size != 0,
        Line().Str("no loaded-image protocol: ").Status(Status));
  Info(Line().Str("image at ").Hex(Driver->Base).Str(", ").Dec(Driver->Size).Str(" bytes"));

  UINTN ExitDataSize = 0;
  Driver->StartStatus = Bs->StartImage(Driver->ImageHandle, &ExitDataSize, nullptr);
  Info(Line().Str("StartImage = ").Status(Driver->StartStatus));
  return Check("start-image", Driver->StartStatus == EFI_SUCCESS,
               Line().Str("StartImage returned ").Status(Driver->StartStatus));
}

Caller CallerOf(const VOID *ReturnAddress) {
  for (UINTN I = 0; I < gLoadedCount; ++I) {
    if (gLoaded[I].Contains(ReturnAddress)) {
      return I + 1 == gLoadedCount ? Caller::DriverUnderTest : Caller::EarlierCopy;
    }
  }
  return Caller::Firmware;
}

bool InsideDriverUnderTest(const VOID *Address) { return CallerOf(Address) != Caller::Firmware; }
