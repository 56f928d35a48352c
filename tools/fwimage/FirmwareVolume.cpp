#include "FirmwareVolume.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Codec.h"
#include "Ffs.h"
#include "Machine.h"
#include "Walk.h"

namespace fwimage {

namespace {

// All bytes equal Value: the first does, and each equals the next (one memcmp:
// free space and gaps run to megabytes).
bool AllBytes(ByteView Data, uint8_t Value) {
  return Data.empty() || (Data[0] == Value && std::memcmp(Data.data(), Data.data() + 1, Data.size() - 1) == 0);
}

uint16_t Sum16(ByteView Data) {
  uint16_t Sum = 0;
  for (size_t I = 0; I + 1 < Data.size(); I += sizeof(uint16_t)) {
    Sum = static_cast<uint16_t>(Sum + ReadU16(Data, I));
  }
  return Sum;
}

// UI names are shown as ASCII; anything else prints as '?'.
constexpr uint16_t PrintableFirst = 0x20;
constexpr uint16_t PrintableLast = 0x7E;

std::string Utf16ToAscii(ByteView Data) {
  std::string Text;
  for (size_t I = 0; I + 1 < Data.size(); I += ffs::Char16Width) {
    const uint16_t C = ReadU16(Data, I);
    if (C == 0) {
      break;
    }
    Text += (C >= PrintableFirst && C <= PrintableLast) ? static_cast<char>(C) : '?';
  }
  return Text;
}

// The text of a file's first UI section, encapsulations opened (compressed
// PEIMs keep theirs inside the stream), volumes inside it not entered.
class UiFinder : public Visitor {
public:
  std::string Found;
  bool Seen = false;
  bool EnterVolume(const Volume &) override { return false; }
  bool EnterSection(const Section &S) override {
    if (!Seen && S.Type == ffs::SectionUserInterface) {
      Found = S.Text();
      Seen = true;
    }
    return !Seen;
  }
};

std::string FileUiName(const File &F) {
  UiFinder Finder;
  Walk(F, Finder);
  return Finder.Found;
}

// Bytes outside every volume count as erased when all are 0xFF or all 0x00:
// what flash tools fill such gaps with, whatever a volume's erase polarity.
bool Empty(ByteView Data) { return AllBytes(Data, 0xFF) || AllBytes(Data, 0x00); }

// ARM and AArch64 firmware starts where its flash starts, with one branch
// instruction to its first volume (QEMU's ARM images: 4 bytes, then empty to
// the volume at 0x1000).
constexpr uint32_t ArmBranch = 0xEA000000; // B, condition always
constexpr uint32_t ArmBranchMask = 0xFF000000;
constexpr uint32_t ArmOffsetMask = 0x00FFFFFF; // in words, from the instruction + 8
constexpr size_t ArmPcAhead = 8;
constexpr uint32_t AArch64Branch = 0x14000000; // B
constexpr uint32_t AArch64BranchMask = 0xFC000000;
constexpr uint32_t AArch64OffsetMask = 0x03FFFFFF; // in words, from the instruction
constexpr size_t InstructionSize = 4;

// Data[At, To) is one branch to To and empty bytes.
bool BranchToVolume(ByteView Data, size_t At, size_t To) {
  if (To - At < InstructionSize || !Empty(Data.subspan(At + InstructionSize, To - At - InstructionSize))) {
    return false;
  }
  const uint32_t Instruction = ReadU32(Data, At);
  const size_t Target = (Instruction & ArmBranchMask) == ArmBranch
                            ? At + ArmPcAhead + size_t{Instruction & ArmOffsetMask} * InstructionSize
                        : (Instruction & AArch64BranchMask) == AArch64Branch
                            ? At + size_t{Instruction & AArch64OffsetMask} * InstructionSize
                            : 0;
  return Target == To;
}

// Where in Data[At, To) an FFS volume header sits whose signature is not
// "_FVH": its file-system GUID, with room for the rest of the header.
std::optional<size_t> HeaderWithoutSignature(ByteView Data, size_t At, size_t To) {
  // Compared in place: the gap may be megabytes.
  const auto Is = [&](size_t P, const Guid &G) {
    return std::memcmp(Data.data() + P + fv::FileSystemGuidOffset, G.Bytes.data(), Guid::Size) == 0;
  };
  for (size_t P = AlignUp(At, fv::ScanStep); P + fv::MinHeaderSize <= To; P += fv::ScanStep) {
    if (Is(P, guids::Ffs2FileSystem) || Is(P, guids::Ffs3FileSystem)) {
      return P;
    }
  }
  return std::nullopt;
}

// File types whose contents are a list of sections.
bool HoldsSections(uint8_t Type) {
  return Type >= ffs::TypeFreeform && Type <= ffs::TypeMmCoreStandalone;
}

class Parser {
public:
  Parser(const ParseLimits &Limits, ParseMode Mode, const KnownStreams *Known = nullptr)
      : Limits(Limits), Mode(Mode), Known(Known) {}

  // ParseVolume, with what stops it in a tolerant parse noted on the volume.
  Volume ReadVolume(const Place &Ctx, size_t Offset, size_t End);
  File ParseFile(const Place &Ctx, size_t Offset, size_t End, bool ErasePolarity);

private:
  Volume ParseVolume(const Place &Ctx, size_t Offset, size_t End);
  void ParseExtHeader(Volume &V, const std::string &Where);
  void ParseFiles(Volume &V);
  void CheckErased(Volume &V, size_t From, size_t To);
  void CheckFreeSpace(Volume &V);
  void CheckFileChecksums(File &F, ByteView Whole, const std::string &Where);
  void ParseFileSections(File &F);
  std::vector<Section> ParseSections(const Place &Ctx, size_t Start, size_t End, size_t Base);
  void ParseContents(Section &S, size_t Base);
  void ParseCompression(Section &S, size_t Base);
  void ParseGuidDefined(Section &S, size_t Base);
  void Decode(Encapsulation &E, const Codec &C, const Section &S);
  void Descend();

  // Strict: the defect ends the parse. Tolerant: it is noted on the item it
  // concerns, and the caller reads on as far as the item allows.
  void Fault(std::vector<std::string> &On, const std::string &Reason) const {
    if (Mode == ParseMode::Strict) {
      throw Error(Reason);
    }
    On.push_back(Reason);
  }

  // Runs Step; in a tolerant parse an Error from it (a nesting or
  // decompression limit, a stream that does not decode) becomes a fault of
  // the item Step was filling.
  template <typename Fn> void Guarded(std::vector<std::string> &On, Fn Step) {
    if (Mode == ParseMode::Strict) {
      Step();
      return;
    }
    try {
      Step();
    } catch (const Error &E) {
      On.emplace_back(E.what());
    }
  }

  class DepthGuard {
  public:
    explicit DepthGuard(Parser &P) : Owner(P) { Owner.Descend(); }
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;
    ~DepthGuard() { --Owner.Depth; }

  private:
    Parser &Owner;
  };

  const ParseLimits &Limits;
  const ParseMode Mode;
  const KnownStreams *Known;
  unsigned Depth = 0;
  uint64_t TotalDecoded = 0;
};

void Parser::Descend() {
  if (Depth >= Limits.MaxDepth) {
    throw Error("volumes and sections nest deeper than " + std::to_string(Limits.MaxDepth) + " levels");
  }
  ++Depth;
}

Volume Parser::ReadVolume(const Place &Ctx, size_t Offset, size_t End) {
  Volume V;
  V.Offset = Offset;
  V.At = Ctx;
  Guarded(V.Faults, [&] { V = ParseVolume(Ctx, Offset, End); });
  return V;
}

Volume Parser::ParseVolume(const Place &Ctx, size_t Offset, size_t End) {
  const DepthGuard Guard(*this);
  const ByteView Buf = Ctx.Buf;
  const std::string Where = "FV at " + Hex(Offset);
  // Until the header is read, the volume is taken to fill what holds it, with
  // no free space known.
  Volume V;
  V.Offset = Offset;
  V.At = Ctx;
  V.Length = End - Offset;
  V.FreeOffset = V.Length;
  V.FreeSpaceErased = false;
  if (End - Offset < fv::MinHeaderSize) {
    Fault(V.Faults, Where + ": truncated header");
    return V;
  }
  if (ReadU32(Buf, Offset + fv::SignatureOffset) != fv::Signature) {
    Fault(V.Faults, Where + ": no _FVH signature");
    return V;
  }
  const uint64_t Length = ReadU64(Buf, Offset + fv::LengthOffset);
  if (Length > End - Offset) {
    Fault(V.Faults, "truncated " + Where + ": its header states " + Hex(Length) + " bytes, " +
                        Hex(End - Offset) + " remain");
  } else {
    V.Length = static_cast<size_t>(Length);
  }
  V.FreeOffset = V.Length;
  V.FileSystem = Guid::FromBytes(Buf, Offset + fv::FileSystemGuidOffset);
  V.FfsFileSystem = V.FileSystem == guids::Ffs2FileSystem || V.FileSystem == guids::Ffs3FileSystem;
  V.Attributes = ReadU32(Buf, Offset + fv::AttributesOffset);
  V.ErasePolarity = (V.Attributes & fv::AttribErasePolarity) != 0;
  V.HeaderLength = ReadU16(Buf, Offset + fv::HeaderLengthOffset);
  if (V.HeaderLength < fv::MinHeaderSize || V.HeaderLength > V.Length || V.HeaderLength % 2 != 0) {
    Fault(V.Faults, Where + ": bad header length " + Hex(V.HeaderLength));
    return V;
  }
  const ByteView Header = Buf.subspan(Offset, V.HeaderLength);
  if (const uint16_t Sum = Sum16(Header); Sum != 0) {
    const uint16_t Stored = ReadU16(Header, fv::ChecksumOffset);
    Fault(V.Faults, Where + ": bad header checksum (stored " + Hex(Stored) + ", computed " +
                        Hex(static_cast<uint16_t>(Stored - Sum)) + ")");
  }
  for (size_t Entry = fv::BlockMapOffset;; Entry += fv::BlockMapEntrySize) {
    if (Entry + fv::BlockMapEntrySize > V.HeaderLength) {
      Fault(V.Faults, Where + ": block map has no terminating entry inside the header");
      break;
    }
    if (ReadU64(Header, Entry) == 0) {
      break;
    }
  }
  ParseExtHeader(V, Where);
  V.FreeSpaceErased = true;
  if (V.FfsFileSystem) {
    ParseFiles(V);
  }
  return V;
}

void Parser::ParseExtHeader(Volume &V, const std::string &Where) {
  const ByteView Buf = V.At.Buf;
  V.FilesOffset = AlignUp(V.HeaderLength, ffs::FileAlignment);
  const size_t ExtOffset = ReadU16(Buf, V.Offset + fv::ExtHeaderOffsetOffset);
  if (ExtOffset != 0) {
    if (ExtOffset < V.HeaderLength || V.Length < ExtOffset || V.Length - ExtOffset < fv::ExtHeaderMinSize) {
      Fault(V.Faults, Where + ": extended header outside the volume");
    } else if (const uint32_t ExtSize = ReadU32(Buf, V.Offset + ExtOffset + fv::ExtHeaderSizeField);
               ExtSize < fv::ExtHeaderMinSize || ExtSize > V.Length - ExtOffset) {
      Fault(V.Faults, Where + ": bad extended header size " + Hex(ExtSize));
    } else {
      V.Name = Guid::FromBytes(Buf, V.Offset + ExtOffset);
      // The dispatcher looks for the first file right after the extended header.
      V.FilesOffset = AlignUp(ExtOffset + ExtSize, ffs::FileAlignment);
    }
  }
  V.FilesOffset = std::min(V.FilesOffset, V.Length);
}

void Parser::ParseFiles(Volume &V) {
  const ByteView Buf = V.At.Buf;
  const ByteView Body = Buf.subspan(V.Offset, V.Length);
  Place Inside = V.At;
  Inside.CanGrow = false;
  ++Inside.Depth;
  size_t Pos = V.FilesOffset;
  while (V.Length - Pos >= ffs::FileHeaderSize &&
         !AllBytes(Body.subspan(Pos, ffs::FileHeaderSize), V.EraseByte())) {
    File F = ParseFile(Inside, V.Offset + Pos, V.Offset + V.Length, V.ErasePolarity);
    // A tolerant parse keeps a file whose size is broken, and stops there:
    // where the next file starts is unknown.
    const bool Walkable = F.Size >= F.HeaderSize && F.Size <= V.Length - Pos;
    V.Files.push_back(std::move(F));
    if (!Walkable) {
      V.FreeOffset = Pos;
      V.FreeSpaceErased = false;
      return;
    }
    const size_t FileEnd = Pos + V.Files.back().Size;
    Pos = std::min(AlignUp(FileEnd, ffs::FileAlignment), V.Length);
    CheckErased(V, FileEnd, Pos);
  }
  V.FreeOffset = Pos;
  V.FreeSpaceErased = AllBytes(Body.subspan(Pos), V.EraseByte());
  if (!V.FreeSpaceErased) {
    CheckFreeSpace(V);
  }
}

// Bytes [From, To) of the volume, where no file is, hold only its erase
// byte; otherwise, from the first byte that is not to the last, they are
// stray: a file whose header is damaged, or data left there.
void Parser::CheckErased(Volume &V, size_t From, size_t To) {
  const ByteView Range = V.At.Buf.subspan(V.Offset + From, To - From);
  const auto IsErased = [&V](uint8_t B) { return B == V.EraseByte(); };
  const auto First = std::find_if_not(Range.begin(), Range.end(), IsErased);
  if (First == Range.end()) {
    return;
  }
  const auto Last = std::find_if_not(Range.rbegin(), Range.rend(), IsErased).base();
  const StrayBytes S{V.Offset + From + static_cast<size_t>(First - Range.begin()), static_cast<size_t>(Last - First)};
  V.Stray.push_back(S);
  if (Mode == ParseMode::Tolerant) {
    V.Faults.push_back("FV at " + Hex(V.Offset) + ": " + Hex(S.Size) + " bytes at " + Hex(S.Offset) +
                       " are neither erased nor part of a file");
  }
}

// Data where free space should be is either another volume that this one's
// length runs over (a broken image), or stray bytes.
void Parser::CheckFreeSpace(Volume &V) {
  for (size_t At = AlignUp(V.Offset + V.FreeOffset, fv::ScanStep); At + fv::MinHeaderSize <= V.Offset + V.Length;
       At += fv::ScanStep) {
    if (ReadU32(V.At.Buf, At + fv::SignatureOffset) == fv::Signature) {
      Fault(V.Faults, "FV at " + Hex(V.Offset) + " (" + Hex(V.Length) + " bytes) overlaps the FV at " + Hex(At));
      return;
    }
  }
  CheckErased(V, V.FreeOffset, V.Length);
}

File Parser::ParseFile(const Place &Ctx, size_t Offset, size_t End, bool ErasePolarity) {
  const ByteView Buf = Ctx.Buf;
  File F;
  F.Offset = Offset;
  F.At = Ctx;
  F.HeaderSize = ffs::FileHeaderSize;
  F.Size = End - Offset;
  if (End - Offset < ffs::FileHeaderSize) {
    Fault(F.Faults, "FFS file at " + Hex(Offset) + ": header cut short");
    return F;
  }
  F.Name = Guid::FromBytes(Buf, Offset);
  F.Type = ReadU8(Buf, Offset + ffs::TypeOffset);
  F.Attributes = ReadU8(Buf, Offset + ffs::AttributesOffset);
  F.State = ReadU8(Buf, Offset + ffs::StateOffset);
  uint64_t Size = ReadU24(Buf, Offset + ffs::SizeOffset);
  const std::string Where = "file " + F.Name.ToString() + " at " + Hex(Offset);
  if ((F.Attributes & ffs::AttribLargeFile) != 0) {
    F.HeaderSize = ffs::FileHeader2Size;
    if (End - Offset < ffs::FileHeader2Size) {
      Fault(F.Faults, Where + ": header cut short");
      return F;
    }
    Size = ReadU64(Buf, Offset + ffs::ExtendedSizeOffset);
  }
  if (Size < F.HeaderSize || Size > End - Offset) {
    F.Size = static_cast<size_t>(std::min<uint64_t>(Size, SIZE_MAX));
    Fault(F.Faults, Where + ": size " + Hex(Size) +
                        (Size < F.HeaderSize ? " is smaller than its header" : " runs past the end of its volume"));
    return F;
  }
  F.Size = static_cast<size_t>(Size);
  const ByteView Whole = Buf.subspan(Offset, F.Size);
  if (const uint8_t Computed = FfsHeaderChecksum(Whole.first(F.HeaderSize));
      Computed != Whole[ffs::HeaderChecksumOffset]) {
    Fault(F.Faults, Where + ": bad header checksum (stored " + Hex(Whole[ffs::HeaderChecksumOffset]) +
                        ", computed " + Hex(Computed) + ")");
  }
  const uint8_t State = ErasePolarity ? static_cast<uint8_t>(~F.State) : F.State;
  if ((State & (ffs::StateDeleted | ffs::StateHeaderInvalid)) != 0) {
    F.Deleted = true;
    return F;
  }
  if ((State & ffs::StateComplete) != ffs::StateComplete) {
    Fault(F.Faults, Where + ": State " + Hex(F.State) + " is not a complete file");
  }
  CheckFileChecksums(F, Whole, Where);
  if (HoldsSections(F.Type)) {
    ParseFileSections(F);
  }
  return F;
}

// The sections, and what the file's listing line shows of them: its UI name
// and the machine of its first image.
void Parser::ParseFileSections(File &F) {
  Guarded(F.Faults, [&] { F.Sections = ParseSections(F.At, F.Offset + F.HeaderSize, F.Offset + F.Size, F.Offset); });
  F.UiName = FileUiName(F);
  const std::vector<uint16_t> Machines = FileMachines(F);
  if (!Machines.empty()) {
    F.Machine = Machines.front();
  }
}

void Parser::CheckFileChecksums(File &F, ByteView Whole, const std::string &Where) {
  const uint8_t FileChecksum = Whole[ffs::FileChecksumOffset];
  if ((F.Attributes & ffs::AttribChecksum) != 0) {
    if (const auto Computed = static_cast<uint8_t>(0x100 - Sum8(Whole.subspan(F.HeaderSize)));
        Computed != FileChecksum) {
      Fault(F.Faults, Where + ": bad data checksum (stored " + Hex(FileChecksum) + ", computed " + Hex(Computed) + ")");
    }
  } else if (FileChecksum != ffs::FileChecksumUnused) {
    Fault(F.Faults, Where + ": bad data checksum (" + Hex(FileChecksum) + " where 0xAA means unused)");
  }
}

std::vector<Section> Parser::ParseSections(const Place &Ctx, size_t Start, size_t End, size_t Base) {
  const DepthGuard Guard(*this);
  const ByteView Buf = Ctx.Buf;
  std::vector<Section> Sections;
  size_t Pos = Start;
  for (;;) {
    Pos = Base + AlignUp(Pos - Base, ffs::SectionAlignment);
    if (Pos >= End) {
      break;
    }
    const std::string Where = "section at " + Hex(Pos);
    Section S;
    S.Offset = Pos;
    S.At = Ctx;
    S.HeaderSize = ffs::SectionHeaderSize;
    S.Size = End - Pos;
    if (End - Pos < ffs::SectionHeaderSize) {
      Fault(S.Faults, Where + ": header cut short");
      Sections.push_back(std::move(S));
      break;
    }
    S.Type = ReadU8(Buf, Pos + ffs::SectionTypeOffset);
    size_t Size = ReadU24(Buf, Pos);
    if (Size == ffs::MaxSize24) {
      if (End - Pos < ffs::SectionHeader2Size) {
        Fault(S.Faults, Where + ": header cut short");
        Sections.push_back(std::move(S));
        break;
      }
      S.HeaderSize = ffs::SectionHeader2Size;
      Size = ReadU32(Buf, Pos + ffs::SectionHeaderSize);
    }
    if (Size < S.HeaderSize || Size > End - Pos) {
      // Where the next section starts is unknown: the rest of the list is lost.
      S.Size = Size;
      Fault(S.Faults, Where + ": size " + Hex(Size) +
                          (Size < S.HeaderSize ? " is smaller than its header" : " runs past the end of its file"));
      Sections.push_back(std::move(S));
      break;
    }
    S.Size = Size;
    Guarded(S.Faults, [&] { ParseContents(S, Base); });
    Pos += S.Size;
    Sections.push_back(std::move(S));
  }
  return Sections;
}

void Parser::ParseContents(Section &S, size_t Base) {
  const size_t Data = S.Offset + S.HeaderSize;
  const ByteView Payload = S.At.Buf.subspan(Data, S.Size - S.HeaderSize);
  switch (S.Type) {
  case ffs::SectionGuidDefined:
    ParseGuidDefined(S, Base);
    break;
  case ffs::SectionCompression:
    ParseCompression(S, Base);
    break;
  case ffs::SectionFirmwareVolumeImage: {
    auto &Held = S.Body.emplace<VolumeImage>();
    Held.Volumes.push_back(ReadVolume(S.At, Data, S.Offset + S.Size));
    break;
  }
  case ffs::SectionUserInterface:
    S.Body = TextBody{Utf16ToAscii(Payload)};
    break;
  case ffs::SectionVersion:
    S.Body = TextBody{Utf16ToAscii(Payload.subspan(std::min(ffs::VersionBuildNumberWidth, Payload.size())))};
    break;
  case ffs::SectionPe32:
  case ffs::SectionTe:
    S.Body = CodeImage{ImageMachine(Payload)};
    break;
  default:
    break;
  }
}

void Parser::ParseCompression(Section &S, size_t Base) {
  auto &E = S.Body.emplace<Encapsulation>();
  E.DataOffset = S.HeaderSize + ffs::CompressionFieldsSize;
  if (S.Size < E.DataOffset) {
    Fault(S.Faults, "section at " + Hex(S.Offset) + ": compression header cut short");
    return;
  }
  const uint8_t Type = S.At.Buf[S.Offset + S.HeaderSize + ffs::CompressionTypeField];
  if (Type == ffs::CompressionNone) {
    E.Children = ParseSections(S.At, S.Offset + E.DataOffset, S.Offset + S.Size, Base);
  } else if (const Codec *C = CodecForType(Type)) {
    Decode(E, *C, S);
  } else {
    // Not a defect for an edit elsewhere in the image, but what it holds stays unseen.
    E.Opened = false;
    if (Mode == ParseMode::Tolerant) {
      S.Faults.push_back("section at " + Hex(S.Offset) + ": compression type " + Hex(Type) +
                         " is not one this tool decodes (not opened)");
    }
  }
}

void Parser::ParseGuidDefined(Section &S, size_t Base) {
  auto &E = S.Body.emplace<Encapsulation>();
  const std::string Where = "GUID-defined section at " + Hex(S.Offset);
  if (S.Size - S.HeaderSize < ffs::GuidDefinedFieldsSize) {
    Fault(S.Faults, Where + ": header cut short");
    return;
  }
  const size_t Fields = S.Offset + S.HeaderSize;
  E.Definition = Guid::FromBytes(S.At.Buf, Fields);
  E.DataOffset = ReadU16(S.At.Buf, Fields + ffs::GuidDefinedDataOffsetField);
  E.GuidedAttributes = ReadU16(S.At.Buf, Fields + ffs::GuidDefinedAttributesField);
  if (E.DataOffset < S.HeaderSize + ffs::GuidDefinedFieldsSize || E.DataOffset > S.Size) {
    Fault(S.Faults, Where + ": DataOffset " + Hex(E.DataOffset) + " outside the section");
    return;
  }
  if (const Codec *C = CodecForGuid(E.Definition)) {
    Decode(E, *C, S);
  } else if ((E.GuidedAttributes & ffs::GuidedProcessingRequired) == 0) {
    E.Children = ParseSections(S.At, S.Offset + E.DataOffset, S.Offset + S.Size, Base);
  } else {
    E.Opened = false;
    if (Mode == ParseMode::Tolerant) {
      S.Faults.push_back(Where + ": unknown compression GUID " + E.Definition.ToString() + " (not opened)");
    }
  }
}

// The stream after E.DataOffset decoded, within the limits, and the sections
// it holds parsed in the decoded buffer.
void Parser::Decode(Encapsulation &E, const Codec &C, const Section &S) {
  const ByteView Compressed = S.At.Buf.subspan(S.Offset + E.DataOffset, S.Size - E.DataOffset);
  const uint64_t Budget = std::min(Limits.MaxStreamSize, Limits.MaxTotalDecoded - TotalDecoded);
  std::shared_ptr<const Bytes> Decoded = Known != nullptr ? Known->Find(C, Compressed) : nullptr;
  const Codec *By = &C;
  if (Decoded == nullptr || Decoded->size() > Budget) {
    OpenedStream Opened = OpenStream(C, Compressed, Budget);
    Decoded = std::make_shared<const Bytes>(std::move(Opened.Data));
    By = Opened.By;
  }
  TotalDecoded += Decoded->size();
  E.Decoded = Decoded;
  E.Algorithm = By->Algorithm;
  Place Stream = S.At;
  Stream.Buf = *Decoded;
  Stream.Stream = E.Algorithm;
  Stream.CanGrow = false;
  E.Children = ParseSections(Stream, 0, Decoded->size(), 0);
  // A volume may grow only where nothing follows it and nothing shares its
  // stream: the firmware that decodes a stream holding several volumes (OVMF's
  // PEI and DXE volumes) places each at a fixed address with a fixed size.
  const auto Volumes = std::count_if(E.Children.begin(), E.Children.end(),
                                     [](const Section &Sec) { return Sec.Type == ffs::SectionFirmwareVolumeImage; });
  if (Volumes != 1 || E.Children.back().Type != ffs::SectionFirmwareVolumeImage) {
    return;
  }
  Section &Last = E.Children.back();
  Last.At.CanGrow = true;
  if (auto *Held = std::get_if<VolumeImage>(&Last.Body)) {
    for (Volume &V : Held->Volumes) {
      V.At.CanGrow = true;
    }
  }
}

// Every defect noted on the items of a tree.
class FaultCounter : public Visitor {
public:
  size_t Count = 0;
  bool EnterVolume(const Volume &V) override { return Add(V.Faults); }
  bool EnterFile(const File &F) override { return Add(F.Faults); }
  bool EnterSection(const Section &S) override { return Add(S.Faults); }

private:
  bool Add(const std::vector<std::string> &Faults) {
    Count += Faults.size();
    return true;
  }
};

// Data[From, To), between volumes, is empty, or the branch to the volume at
// To; otherwise the whole gap is stray, a volume whose signature is damaged
// as likely as anything.
void CheckGap(Image &Img, ByteView Data, size_t From, size_t To, ParseMode Mode) {
  if (From >= To || Empty(Data.subspan(From, To - From)) || BranchToVolume(Data, From, To)) {
    return;
  }
  Img.Stray.push_back({From, To - From});
  if (Mode == ParseMode::Tolerant) {
    std::string Reason = Hex(To - From) + " bytes at " + Hex(From) + " are neither erased nor in a firmware volume";
    if (const auto Header = HeaderWithoutSignature(Data, From, To)) {
      Reason += " (an FFS volume header without its _FVH signature at " + Hex(*Header) + ")";
    }
    Img.Faults.push_back(Reason);
  }
}

// The signature, and a length and header length a volume can have: "_FVH"
// also occurs in code that looks for volumes, where a damaged header leaves
// such code in a gap. A length past the data is still a (truncated) volume.
bool VolumeHeaderAt(ByteView Data, size_t Offset) {
  if (ReadU32(Data, Offset + fv::SignatureOffset) != fv::Signature) {
    return false;
  }
  const uint64_t Length = ReadU64(Data, Offset + fv::LengthOffset);
  const size_t HeaderLength = ReadU16(Data, Offset + fv::HeaderLengthOffset);
  return Length >= fv::MinHeaderSize && Length <= UINT32_MAX && HeaderLength >= fv::MinHeaderSize &&
         HeaderLength <= Length;
}

// The first offset from Offset on, in steps of fv::ScanStep, where a volume
// header could start before End: the signature found with memmem, not looked
// for at every step of a 64 MiB image.
size_t NextVolumeCandidate(ByteView Data, size_t Offset, size_t End) {
  static constexpr uint8_t Signature[] = {'_', 'F', 'V', 'H'};
  while (End - Offset >= fv::MinHeaderSize) {
    const uint8_t *From = Data.data() + Offset + fv::SignatureOffset;
    const size_t Span = End - Offset - fv::MinHeaderSize + sizeof(Signature);
    const void *Hit = memmem(From, Span, Signature, sizeof(Signature));
    if (Hit == nullptr) {
      return End;
    }
    const size_t Candidate = Offset + static_cast<size_t>(static_cast<const uint8_t *>(Hit) - From);
    if ((Candidate - Offset) % fv::ScanStep == 0) {
      return Candidate;
    }
    Offset = AlignUp(Candidate - Offset, fv::ScanStep) + Offset;
  }
  return End;
}

} // namespace

const std::vector<Section> &Section::Children() const {
  static const std::vector<Section> None;
  return Encap() != nullptr ? Encap()->Children : None;
}

const std::vector<Volume> &Section::Volumes() const {
  static const std::vector<Volume> None;
  const auto *Held = std::get_if<VolumeImage>(&Body);
  return Held != nullptr ? Held->Volumes : None;
}

std::string Section::Text() const {
  const auto *T = std::get_if<TextBody>(&Body);
  return T != nullptr ? T->Text : std::string();
}

std::optional<uint16_t> Section::Machine() const {
  const auto *Code = std::get_if<CodeImage>(&Body);
  return Code != nullptr ? Code->Machine : std::nullopt;
}

Guid Section::Definition() const { return Encap() != nullptr ? Encap()->Definition : Guid{}; }

Image ParseImage(ByteView Data, const ParseLimits &Limits) {
  return ParseVolumes(Data, 0, Data.size(), ParseMode::Strict, Limits);
}

Image ParseVolumes(ByteView Data, size_t Begin, size_t End, ParseMode Mode, const ParseLimits &Limits,
                   const KnownStreams *Known) {
  End = std::min(End, Data.size());
  Begin = std::min(Begin, End);
  Parser P(Limits, Mode, Known);
  Image Result;
  size_t Offset = Begin;
  size_t Covered = Begin; // where the last volume found ends
  while ((Offset = NextVolumeCandidate(Data, Offset, End)) < End) {
    if (!VolumeHeaderAt(Data, Offset)) {
      Offset += fv::ScanStep;
      continue;
    }
    CheckGap(Result, Data, Covered, Offset, Mode);
    Volume V = P.ReadVolume(Place{Data}, Offset, End);
    Covered = Offset + V.Length;
    // A volume whose header gives no usable length is stepped over, not re-read.
    Offset += std::min(End - Offset, std::max(AlignUp(V.Length, fv::ScanStep), fv::ScanStep));
    Result.Volumes.push_back(std::move(V));
  }
  if (!Result.Volumes.empty()) {
    CheckGap(Result, Data, Covered, End, Mode);
  } else {
    const std::string Reason = "not a firmware image: no firmware volume header found" +
                               (Begin == 0 && End == Data.size() ? std::string() : " in " + Hex(Begin) + "-" + Hex(End));
    if (Mode == ParseMode::Strict) {
      throw Error(Reason);
    }
    Result.Faults.push_back(Reason);
  }
  return Result;
}

size_t CountFaults(const Image &Img) {
  FaultCounter Counter;
  Walk(Img, Counter);
  return Img.Faults.size() + Counter.Count;
}

File ParseStandaloneFile(ByteView Data, const ParseLimits &Limits) {
  if (Data.size() < ffs::FileHeaderSize) {
    throw Error("not an FFS file: shorter than a file header");
  }
  const uint8_t State = Data[ffs::StateOffset];
  bool ErasePolarity = true;
  if (State == ffs::StateComplete) {
    ErasePolarity = false;
  } else if (State != ffs::StateCompleteErasedHigh) {
    throw Error("not an FFS file: State " + Hex(State) + " is not a complete file");
  }
  Parser P(Limits, ParseMode::Strict);
  File F = P.ParseFile(Place{Data}, 0, Data.size(), ErasePolarity);
  if (F.Size != Data.size()) {
    throw Error("not an FFS file: its header states " + Hex(F.Size) + " bytes, the file has " +
                Hex(Data.size()));
  }
  return F;
}

} // namespace fwimage
