// Firmware file system (FFS) layout: file and section headers, the file
// types and section types the tool reads or writes, and the builder behind
// `fwimage ffs`.
#pragma once

#include <optional>
#include <string>

#include "Bytes.h"
#include "Guid.h"

namespace fwimage {

namespace ffs {
// EFI_FFS_FILE_HEADER: Name, IntegrityCheck {Header, File}, Type, Attributes,
// Size[3], State; EFI_FFS_FILE_HEADER2 adds a UINT64 ExtendedSize.
constexpr size_t FileHeaderSize = 24;
constexpr size_t FileHeader2Size = 32;
constexpr size_t HeaderChecksumOffset = 16;
constexpr size_t FileChecksumOffset = 17;
constexpr size_t TypeOffset = 18;
constexpr size_t AttributesOffset = 19;
constexpr size_t SizeOffset = 20;
constexpr size_t StateOffset = 23;
constexpr size_t ExtendedSizeOffset = 24;
constexpr uint32_t MaxSize24 = 0xFFFFFF;
constexpr size_t Size24Width = 3; // bytes of the 24-bit Size field, in files and sections
constexpr size_t Char16Width = 2; // UTF-16 code unit in UI and VERSION strings

// Attributes.
constexpr uint8_t AttribLargeFile = 0x01;
constexpr uint8_t AttribDataAlignment2 = 0x02;
constexpr uint8_t AttribDataAlignmentMask = 0x38;
constexpr uint8_t AttribChecksum = 0x40;
// IntegrityCheck.File when AttribChecksum is clear.
constexpr uint8_t FileChecksumUnused = 0xAA;

// State bits, as written with erase polarity 0; polarity 1 stores them inverted.
constexpr uint8_t StateHeaderConstruction = 0x01;
constexpr uint8_t StateHeaderValid = 0x02;
constexpr uint8_t StateDataValid = 0x04;
constexpr uint8_t StateMarkedForUpdate = 0x08;
constexpr uint8_t StateDeleted = 0x10;
constexpr uint8_t StateHeaderInvalid = 0x20;
constexpr uint8_t StateComplete = StateHeaderConstruction | StateHeaderValid | StateDataValid;
// A complete file in a volume erased to 0xFF: 0x07 inverted.
constexpr uint8_t StateCompleteErasedHigh = static_cast<uint8_t>(~StateComplete);

// File types.
constexpr uint8_t TypeRaw = 0x01;
constexpr uint8_t TypeFreeform = 0x02;
constexpr uint8_t TypeSecurityCore = 0x03;
constexpr uint8_t TypePeiCore = 0x04;
constexpr uint8_t TypeDxeCore = 0x05;
constexpr uint8_t TypePeim = 0x06;
constexpr uint8_t TypeDriver = 0x07;
constexpr uint8_t TypeCombinedPeimDriver = 0x08;
constexpr uint8_t TypeApplication = 0x09;
constexpr uint8_t TypeSmm = 0x0A;
constexpr uint8_t TypeFirmwareVolumeImage = 0x0B;
constexpr uint8_t TypeCombinedSmmDxe = 0x0C;
constexpr uint8_t TypeSmmCore = 0x0D;
constexpr uint8_t TypeMmStandalone = 0x0E;
constexpr uint8_t TypeMmCoreStandalone = 0x0F;
constexpr uint8_t TypePad = 0xF0;

// EFI_COMMON_SECTION_HEADER: Size[3], Type; Size 0xFFFFFF means a UINT32
// ExtendedSize follows (EFI_COMMON_SECTION_HEADER2).
constexpr size_t SectionHeaderSize = 4;
constexpr size_t SectionHeader2Size = 8;
constexpr size_t SectionTypeOffset = 3;
constexpr size_t SectionExtendedSizeWidth = 4;
// EFI_VERSION_SECTION: UINT16 BuildNumber, then the string.
constexpr size_t VersionBuildNumberWidth = 2;
constexpr size_t SectionAlignment = 4;
constexpr size_t FileAlignment = 8;

// Section types.
constexpr uint8_t SectionCompression = 0x01;
constexpr uint8_t SectionGuidDefined = 0x02;
constexpr uint8_t SectionDisposable = 0x03;
constexpr uint8_t SectionPe32 = 0x10;
constexpr uint8_t SectionPic = 0x11;
constexpr uint8_t SectionTe = 0x12;
constexpr uint8_t SectionDxeDepex = 0x13;
constexpr uint8_t SectionVersion = 0x14;
constexpr uint8_t SectionUserInterface = 0x15;
constexpr uint8_t SectionCompatibility16 = 0x16;
constexpr uint8_t SectionFirmwareVolumeImage = 0x17;
constexpr uint8_t SectionFreeformSubtypeGuid = 0x18;
constexpr uint8_t SectionRaw = 0x19;
constexpr uint8_t SectionPeiDepex = 0x1B;
constexpr uint8_t SectionSmmDepex = 0x1C; // also MM_DEPEX, of standalone MM drivers

// EFI_GUID_DEFINED_SECTION after the common header: SectionDefinitionGuid,
// DataOffset, Attributes.
constexpr size_t GuidDefinedDataOffsetField = 16;
constexpr size_t GuidDefinedAttributesField = 18;
constexpr size_t GuidDefinedFieldsSize = 20;
constexpr uint16_t GuidedProcessingRequired = 0x0001;
constexpr uint16_t GuidedAuthStatusValid = 0x0002;

// EFI_COMPRESSION_SECTION after the common header: UncompressedLength,
// CompressionType: 0 not compressed, 1 EFI standard compression (EFI 1.1, or
// Tiano from some vendors).
constexpr size_t CompressionFieldsSize = 5;
constexpr size_t CompressionTypeField = 4;
constexpr uint8_t CompressionNone = 0;
constexpr uint8_t CompressionStandard = 1;
} // namespace ffs

const char *FileTypeName(uint8_t Type);
const char *SectionTypeName(uint8_t Type);

// Header checksum byte that makes the header (State and the file checksum
// counted as 0) sum to 0.
uint8_t FfsHeaderChecksum(ByteView Header);

// Recomputes both checksums of a file laid out in Bytes[0, Size) after its
// size or contents changed; honours the file's AttribChecksum.
void SealFfsFile(uint8_t *File, size_t HeaderSize, size_t Size);

// The file types `fwimage ffs` packs, as an integrator re-packs them.
enum class FfsKind { Peim, Driver, Smm, MmStandalone, Application, Freeform, Raw };

struct FfsKindInfo {
  FfsKind Kind;
  const char *Name;     // as --type names it
  uint8_t FileType;
  uint8_t DepexSection; // NoDepex where the type has no dependency expression
  bool TakesImage;      // an executable image; else data (freeform: a RAW section, raw: the file body)
  bool TakesTe;         // a TE image may stand for the PE32 one (PEI runs them in place)
  bool HasSections;     // raw files do not: no UI name or version either
};
constexpr uint8_t NoDepex = 0;

const FfsKindInfo &KindInfo(FfsKind Kind);
const FfsKindInfo *FindFfsKind(const std::string &Name);
// "peim|driver|...", for usage text and refusals.
std::string FfsKindNames();

struct FfsBuildInput {
  FfsKind Kind = FfsKind::Driver;
  Guid Name;
  Bytes Pe;          // the image, stored unchanged: PE32+ or PE32, or a TE image when Te
  bool Te = false;
  Bytes Data;        // freeform: the RAW section's body; raw: the file's body
  Bytes Depex;       // binary dependency expression; empty: no depex section
  std::string Ui;    // module name (ASCII); required with an image, optional otherwise
  std::string Version;
};

// Which parts a file is to be built from.
struct FfsParts {
  FfsKind Kind = FfsKind::Driver;
  bool Image = false;
  bool Te = false;
  bool Data = false;
  bool Depex = false;
  bool Names = false; // a UI name or a version
};

// Why the parts do not make a file of their kind (an image where data
// belongs, a TE image outside PEI, a depex or names the type has no place
// for), or nullopt: what the command line checks before reading any file.
std::optional<std::string> FfsShapeError(const FfsParts &Parts);

// Sections in the order build tools write them: the depex, the image (or
// the RAW section), UI, VERSION. Throws Error when the shape is wrong, the
// image is not what its kind runs, the depex does not parse or the names are
// not ASCII.
Bytes BuildFfsFile(const FfsBuildInput &Input);

// Throws Error unless Image starts with an MZ header leading to a PE32+ or
// PE32 optional header (the 32-bit machines' firmware images are PE32), or,
// for Te, with a whole TE header ("VZ").
void CheckImage(ByteView Image, bool Te);

} // namespace fwimage
