// SMRAM as EFI_SMM_ACCESS2_PROTOCOL reports it, and the images in it. The
// SMM core loads a driver at a page boundary with its headers first, so the
// image that holds a code address starts at the nearest page below it that
// begins with a PE32+ header.
#include "StandInSmm.h"

namespace {

using namespace StandIn;

// Farther than any image of this bench reaches below one of its addresses.
constexpr UINT64 MaxImageScan = 0x100000;

EFI_SMRAM_DESCRIPTOR gRanges[SmmTest::MaxSmramRanges];
UINTN gRangeCount;

}  // namespace

namespace StandIn {

VOID RecordSmramRanges(EFI_BOOT_SERVICES *BootServices) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&EFI_SMM_ACCESS2_PROTOCOL_GUID, nullptr,
                                             &Interface)) ||
      Interface == nullptr) {
    return;
  }
  auto *Access = static_cast<EFI_SMM_ACCESS2_PROTOCOL *>(Interface);
  UINTN Size = sizeof(gRanges);
  if (EFI_ERROR(Access->GetCapabilities(Access, &Size, gRanges))) {
    return;  // more ranges than this bench expects: none recorded, checks fail
  }
  gRangeCount = Size / sizeof(EFI_SMRAM_DESCRIPTOR);
  gReport->SmramRangeCount = static_cast<UINT32>(gRangeCount);
  for (UINTN I = 0; I < gRangeCount; ++I) {
    gReport->SmramRanges[I] = gRanges[I];
  }
}

bool InSmram(UINT64 Address, UINT64 Length) {
  for (UINTN I = 0; I < gRangeCount; ++I) {
    const EFI_SMRAM_DESCRIPTOR &R = gRanges[I];
    if (Address >= R.CpuStart && Address - R.CpuStart <= R.PhysicalSize &&
        Length <= R.PhysicalSize - (Address - R.CpuStart)) {
      return true;
    }
  }
  return false;
}

LoadedImage FindImage(UINT64 Address) {
  if (Address == 0 || !InSmram(Address)) {
    return {};
  }
  const UINT64 Lowest = Address > MaxImageScan ? Address - MaxImageScan : 0;
  for (UINT64 Page = Address & ~(EFI_PAGE_SIZE - 1); Page >= Lowest; Page -= EFI_PAGE_SIZE) {
    if (!InSmram(Page, PeImage::HeaderBytesNeeded)) {
      return {};
    }
    PeImage::Facts Facts = {};
    if (PeImage::Parse(reinterpret_cast<const UINT8 *>(Page), &Facts)) {
      if (Address - Page < Facts.SizeOfImage) {
        return {Page, Facts};
      }
      return {};  // the nearest header below belongs to another image
    }
    if (Page < EFI_PAGE_SIZE) {
      break;
    }
  }
  return {};
}

bool InImage(const LoadedImage &Image, UINT64 Address) {
  return Image.Base != 0 && Address >= Image.Base && Address - Image.Base < Image.Facts.SizeOfImage;
}

}  // namespace StandIn
