// Finding dispatched images, and who called a stand-in in the dispatch boot.
#include "DispatchedImages.h"

namespace {

// OVMF loads a few hundred images at most.
constexpr UINTN MaxImages = 512;
EFI_HANDLE gImages[MaxImages];
// A device path that does not end within this many nodes is not walked.
constexpr UINTN MaxNodes = 64;
// OVMF has a handful of firmware volumes.
constexpr UINTN MaxVolumes = 16;

ImageRange gDriverUnderTest;

}  // namespace

ImageRange DispatchedImage::Range() const {
  return {reinterpret_cast<UINTN>(Loaded->ImageBase), Loaded->ImageSize};
}

const EFI_GUID *FirmwareFileOf(const VOID *DevicePath) {
  const auto *Node = static_cast<const UINT8 *>(DevicePath);
  for (UINTN I = 0; Node != nullptr && I < MaxNodes; ++I) {
    const auto *H = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Node);
    const UINTN Length = H->Length[0] | (H->Length[1] << 8);
    if (H->Type == END_DEVICE_PATH_TYPE || Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      return nullptr;
    }
    if (H->Type == MEDIA_DEVICE_PATH && H->SubType == MEDIA_PIWG_FW_FILE_DP &&
        Length >= sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)) {
      return &reinterpret_cast<const MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *>(Node)->FvFileName;
    }
    Node += Length;
  }
  return nullptr;
}

bool FindDispatchedImage(const EFI_GUID &File, DispatchedImage *Out) {
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  UINTN Size = sizeof(gImages);
  if (EFI_ERROR(Bs->LocateHandle(ByProtocol, &EFI_LOADED_IMAGE_PROTOCOL_GUID, nullptr, &Size,
                                 gImages))) {
    return false;
  }
  for (UINTN I = 0; I < Size / sizeof(EFI_HANDLE); ++I) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(Bs->HandleProtocol(gImages[I], &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface)) ||
        Interface == nullptr) {
      continue;
    }
    const auto *Loaded = static_cast<const EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
    const EFI_GUID *Named = FirmwareFileOf(Loaded->FilePath);
    if (Named != nullptr && GuidEqual(*Named, File)) {
      *Out = {gImages[I], Loaded, I};
      return true;
    }
  }
  return false;
}

EFI_HANDLE FirstLoadedImage() {
  UINTN Size = sizeof(gImages);
  if (EFI_ERROR(gApp.BootServices->LocateHandle(ByProtocol, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                nullptr, &Size, gImages)) ||
      Size == 0) {
    return nullptr;
  }
  return gImages[0];
}

bool ReadFileSection(const EFI_GUID &File, UINT8 SectionType, VOID **Buffer, UINTN *Size) {
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_HANDLE Volumes[MaxVolumes];
  UINTN HandlesSize = sizeof(Volumes);
  if (EFI_ERROR(Bs->LocateHandle(ByProtocol, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID, nullptr,
                                 &HandlesSize, Volumes))) {
    return false;
  }
  for (UINTN I = 0; I < HandlesSize / sizeof(EFI_HANDLE); ++I) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(Bs->HandleProtocol(Volumes[I], &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID,
                                     &Interface)) ||
        Interface == nullptr) {
      continue;
    }
    const auto *Fv = static_cast<const EFI_FIRMWARE_VOLUME2_PROTOCOL *>(Interface);
    *Buffer = nullptr;
    *Size = 0;
    UINT32 Authentication = 0;
    if (!EFI_ERROR(Fv->ReadSection(Fv, &File, SectionType, 0, Buffer, Size, &Authentication)) &&
        *Buffer != nullptr) {
      return true;
    }
  }
  return false;
}

VOID SetDriverUnderTest(const ImageRange &Range) { gDriverUnderTest = Range; }

Caller CallerOf(const VOID *ReturnAddress) {
  return gDriverUnderTest.Contains(ReturnAddress) ? Caller::DriverUnderTest : Caller::Firmware;
}

bool InsideDriverUnderTest(const VOID *Address) { return gDriverUnderTest.Contains(Address); }
