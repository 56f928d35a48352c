#include "Ffs.h"

#include <algorithm>
#include <array>

#include "Depex.h"
#include "Machine.h"

namespace fwimage {

namespace {

// PE layout points the builder checks.
using pe::DosNewHeaderField;
using pe::DosSignature;
using pe::Pe32Magic;
using pe::Pe32PlusMagic;
using pe::PeOptionalHeaderOffset;
using pe::PeSignature;

// Names are ASCII text: the UI section is what a setup screen or a log shows.
constexpr char FirstPrintable = 0x20;
constexpr char LastPrintable = 0x7E;

struct TypeName {
  uint8_t Type;
  const char *Name;
};

constexpr std::array<TypeName, 16> FileTypeNames{{
    {ffs::TypeRaw, "RAW"},
    {ffs::TypeFreeform, "FREEFORM"},
    {ffs::TypeSecurityCore, "SECURITY_CORE"},
    {ffs::TypePeiCore, "PEI_CORE"},
    {ffs::TypeDxeCore, "DXE_CORE"},
    {ffs::TypePeim, "PEIM"},
    {ffs::TypeDriver, "DRIVER"},
    {ffs::TypeCombinedPeimDriver, "COMBINED_PEIM_DRIVER"},
    {ffs::TypeApplication, "APPLICATION"},
    {ffs::TypeSmm, "SMM"},
    {ffs::TypeFirmwareVolumeImage, "FIRMWARE_VOLUME_IMAGE"},
    {ffs::TypeCombinedSmmDxe, "COMBINED_SMM_DXE"},
    {ffs::TypeSmmCore, "SMM_CORE"},
    {ffs::TypeMmStandalone, "MM_STANDALONE"},
    {ffs::TypeMmCoreStandalone, "MM_CORE_STANDALONE"},
    {ffs::TypePad, "PAD"},
}};

constexpr std::array<TypeName, 15> SectionTypeNames{{
    {ffs::SectionCompression, "COMPRESSION"},
    {ffs::SectionGuidDefined, "GUID_DEFINED"},
    {ffs::SectionDisposable, "DISPOSABLE"},
    {ffs::SectionPe32, "PE32"},
    {ffs::SectionPic, "PIC"},
    {ffs::SectionTe, "TE"},
    {ffs::SectionDxeDepex, "DXE_DEPEX"},
    {ffs::SectionVersion, "VERSION"},
    {ffs::SectionUserInterface, "UI"},
    {ffs::SectionCompatibility16, "COMPAT16"},
    {ffs::SectionFirmwareVolumeImage, "FV_IMAGE"},
    {ffs::SectionFreeformSubtypeGuid, "FREEFORM_GUID"},
    {ffs::SectionRaw, "RAW"},
    {ffs::SectionPeiDepex, "PEI_DEPEX"},
    {ffs::SectionSmmDepex, "SMM_DEPEX"},
}};

// What each --type packs: the file type, where its dependency expression
// goes (PI: PEI_DEPEX 0x1B, DXE_DEPEX 0x13, SMM_DEPEX 0x1C, which standalone
// MM calls MM_DEPEX), and what it holds.
constexpr std::array<FfsKindInfo, 7> FfsKinds{{
    {FfsKind::Peim, "peim", ffs::TypePeim, ffs::SectionPeiDepex, true, true, true},
    {FfsKind::Driver, "driver", ffs::TypeDriver, ffs::SectionDxeDepex, true, false, true},
    {FfsKind::Smm, "smm", ffs::TypeSmm, ffs::SectionSmmDepex, true, false, true},
    {FfsKind::MmStandalone, "mm-standalone", ffs::TypeMmStandalone, ffs::SectionSmmDepex, true, false, true},
    {FfsKind::Application, "application", ffs::TypeApplication, NoDepex, true, false, true},
    {FfsKind::Freeform, "freeform", ffs::TypeFreeform, NoDepex, false, false, true},
    {FfsKind::Raw, "raw", ffs::TypeRaw, NoDepex, false, false, false},
}};

template <size_t N> const char *Lookup(const std::array<TypeName, N> &Table, uint8_t Type) {
  for (const TypeName &Row : Table) {
    if (Row.Type == Type) {
      return Row.Name;
    }
  }
  return nullptr;
}

void CheckAscii(const std::string &Text, const char *What) {
  if (Text.empty()) {
    throw Error(std::string(What) + " is empty");
  }
  for (const char C : Text) {
    if (C < FirstPrintable || C > LastPrintable) {
      throw Error(std::string(What) + " '" + Text + "' is not printable ASCII");
    }
  }
}

void AppendUtf16(Bytes &Out, const std::string &Ascii) {
  for (const char C : Ascii) {
    AppendLe(Out, static_cast<uint8_t>(C), ffs::Char16Width);
  }
  AppendLe(Out, 0, ffs::Char16Width);
}

// Appends one section to the file body; Body starts right after the 24-byte
// file header, a multiple of 4, so aligning Body aligns within the file.
void AppendSection(Bytes &Body, uint8_t Type, ByteView Payload) {
  Body.resize(AlignUp(Body.size(), ffs::SectionAlignment), 0);
  const size_t Size = ffs::SectionHeaderSize + Payload.size();
  if (Size >= ffs::MaxSize24) {
    throw Error(std::string(SectionTypeName(Type)) + " section of " + Hex(Size) +
                " bytes does not fit a 24-bit section size");
  }
  AppendLe(Body, Size, ffs::Size24Width);
  Body.push_back(Type);
  Body.insert(Body.end(), Payload.begin(), Payload.end());
}

} // namespace

const char *FileTypeName(uint8_t Type) {
  const char *Name = Lookup(FileTypeNames, Type);
  return Name != nullptr ? Name : "UNKNOWN";
}

const char *SectionTypeName(uint8_t Type) {
  const char *Name = Lookup(SectionTypeNames, Type);
  return Name != nullptr ? Name : "UNKNOWN";
}

uint8_t FfsHeaderChecksum(ByteView Header) {
  uint8_t Sum = Sum8(Header);
  Sum = static_cast<uint8_t>(Sum - Header[ffs::HeaderChecksumOffset] - Header[ffs::FileChecksumOffset] -
                             Header[ffs::StateOffset]);
  return static_cast<uint8_t>(0x100 - Sum);
}

void SealFfsFile(uint8_t *File, size_t HeaderSize, size_t Size) {
  const ByteView Whole(File, Size);
  File[ffs::FileChecksumOffset] =
      (File[ffs::AttributesOffset] & ffs::AttribChecksum) != 0
          ? static_cast<uint8_t>(0x100 - Sum8(Whole.subspan(HeaderSize)))
          : ffs::FileChecksumUnused;
  File[ffs::HeaderChecksumOffset] = FfsHeaderChecksum(Whole.first(HeaderSize));
}

void CheckImage(ByteView Image, bool Te) {
  if (Te) {
    if (Image.size() < pe::TeHeaderSize || ReadU16(Image, 0) != pe::TeSignature) {
      throw Error("TE image has no TE header (\"VZ\")");
    }
    return;
  }
  if (Image.size() < DosNewHeaderField + 4 || ReadU16(Image, 0) != DosSignature) {
    throw Error("PE image has no MZ header");
  }
  const size_t PeOffset = ReadU32(Image, DosNewHeaderField);
  if (PeOffset > Image.size() || Image.size() - PeOffset < PeOptionalHeaderOffset + 2 ||
      ReadU32(Image, PeOffset) != PeSignature) {
    throw Error("PE image has no PE signature where its MZ header points");
  }
  const uint16_t Magic = ReadU16(Image, PeOffset + PeOptionalHeaderOffset);
  if (Magic != Pe32PlusMagic && Magic != Pe32Magic) {
    throw Error("PE image is neither PE32+ nor PE32 (optional header magic " + Hex(Magic) + ")");
  }
}

const FfsKindInfo &KindInfo(FfsKind Kind) {
  for (const FfsKindInfo &Row : FfsKinds) {
    if (Row.Kind == Kind) {
      return Row;
    }
  }
  return FfsKinds.front();
}

const FfsKindInfo *FindFfsKind(const std::string &Name) {
  for (const FfsKindInfo &Row : FfsKinds) {
    if (Name == Row.Name) {
      return &Row;
    }
  }
  return nullptr;
}

std::string FfsKindNames() {
  std::string Names;
  for (const FfsKindInfo &Row : FfsKinds) {
    if (!Names.empty()) {
      Names += '|';
    }
    Names += Row.Name;
  }
  return Names;
}

std::optional<std::string> FfsShapeError(const FfsParts &Parts) {
  const FfsKindInfo &K = KindInfo(Parts.Kind);
  const std::string Kind = K.Name;
  if (K.TakesImage && (!Parts.Image || Parts.Data)) {
    return Kind + " files hold an executable image (PE32" + (K.TakesTe ? " or TE" : "") + "), not data";
  }
  if (!K.TakesImage && (Parts.Image || !Parts.Data)) {
    return Kind + " files hold data, not an executable image";
  }
  if (Parts.Te && !K.TakesTe) {
    return Kind + " files take a PE32 image, not TE: only PEIMs run TE images";
  }
  if (Parts.Depex && K.DepexSection == NoDepex) {
    return Kind + " files have no dependency expression";
  }
  if (Parts.Names && !K.HasSections) {
    return Kind + " files hold no sections: no UI name or version";
  }
  return std::nullopt;
}

Bytes BuildFfsFile(const FfsBuildInput &Input) {
  const FfsKindInfo &K = KindInfo(Input.Kind);
  const bool Names = !Input.Ui.empty() || !Input.Version.empty();
  if (const auto Wrong =
          FfsShapeError({Input.Kind, K.TakesImage, Input.Te, !K.TakesImage, !Input.Depex.empty(), Names})) {
    throw Error(*Wrong);
  }
  if (K.TakesImage) {
    CheckImage(Input.Pe, Input.Te);
  }
  Bytes Body;
  if (!Input.Depex.empty()) {
    DecodeDepex(Input.Depex);
    AppendSection(Body, K.DepexSection, Input.Depex);
  }
  if (K.TakesImage) {
    AppendSection(Body, Input.Te ? ffs::SectionTe : ffs::SectionPe32, Input.Pe);
  } else if (K.HasSections) {
    AppendSection(Body, ffs::SectionRaw, Input.Data);
  } else {
    Body = Input.Data;
  }
  // An image is dispatched and logged by its name: required there.
  if (K.TakesImage || !Input.Ui.empty()) {
    CheckAscii(Input.Ui, "UI name");
    Bytes Ui;
    AppendUtf16(Ui, Input.Ui);
    AppendSection(Body, ffs::SectionUserInterface, Ui);
  }
  if (K.TakesImage || !Input.Version.empty()) {
    CheckAscii(Input.Version, "version");
    Bytes Version;
    // No build number is kept; the string carries the version.
    AppendLe(Version, 0, ffs::VersionBuildNumberWidth);
    AppendUtf16(Version, Input.Version);
    AppendSection(Body, ffs::SectionVersion, Version);
  }

  const size_t Size = ffs::FileHeaderSize + Body.size();
  if (Size > ffs::MaxSize24) {
    throw Error("FFS file of " + Hex(Size) + " bytes does not fit a 24-bit file size");
  }
  Bytes File(Size, 0);
  std::copy(Body.begin(), Body.end(), File.begin() + ffs::FileHeaderSize);
  std::copy(Input.Name.Bytes.begin(), Input.Name.Bytes.end(), File.begin());
  File[ffs::TypeOffset] = K.FileType;
  // A real data checksum: a flipped bit in the image is caught before dispatch.
  File[ffs::AttributesOffset] = ffs::AttribChecksum;
  WriteLe(File.data() + ffs::SizeOffset, Size, ffs::Size24Width);
  File[ffs::StateOffset] = ffs::StateCompleteErasedHigh;
  SealFfsFile(File.data(), ffs::FileHeaderSize, File.size());
  return File;
}

} // namespace fwimage
