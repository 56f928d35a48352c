// Test bench only: the images the DXE dispatcher started from the firmware
// volume, found by the FILE GUID their loaded-image FilePath names, and the
// "driver under test" the stand-ins record calls from: BoardSetupDxe as the
// dispatcher started it.
#pragma once

#include "Caller.h"
#include "FirmwareFiles.h"
#include "TestApp.h"

struct DispatchedImage {
  EFI_HANDLE Handle;
  const EFI_LOADED_IMAGE_PROTOCOL *Loaded;
  UINTN Position;  // among the loaded images, in the order the core loaded them
  ImageRange Range() const;
};

// The FILE GUID of the first firmware-file node of a device path, or NULL.
const EFI_GUID *FirmwareFileOf(const VOID *DevicePath);
// The image loaded from the firmware file named File; false when none is.
bool FindDispatchedImage(const EFI_GUID &File, DispatchedImage *Out);
// The first image the DXE core recorded: its own, the parent of every
// driver its dispatcher loads. NULL when there is none.
EFI_HANDLE FirstLoadedImage();
// The first section of that type in File, from whichever firmware volume
// holds it (EFI_FIRMWARE_VOLUME2_PROTOCOL.ReadSection): a pool buffer the
// caller frees. False when no volume has it.
bool ReadFileSection(const EFI_GUID &File, UINT8 SectionType, VOID **Buffer, UINTN *Size);
// Calls from inside Range are the driver under test's from now on.
VOID SetDriverUnderTest(const ImageRange &Range);
