#include "FirmwareVolume.h"

#include <algorithm>

#include "Ffs.h"
#include "Lzma.h"

namespace fwimage {

namespace {

bool AllBytes(ByteView Data, uint8_t Value) {
  return std::all_of(Data.begin(), Data.end(), [Value](uint8_t B) { return B == Value; });
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

// File types whose contents are a list of sections.
bool HoldsSections(uint8_t Type) {
  return Type >= ffs::TypeFreeform && Type <= ffs::TypeMmCoreStandalone;
}

class Parser {
public:
  explicit Parser(const ParseLimits &Limits) : Limits(Limits) {}

  Volume ParseVolume(ByteView Buf, size_t Offset, size_t End);
  File ParseFile(ByteView Buf, size_t Offset, size_t End, bool ErasePolarity);

private:
  std::vector<Section> ParseSections(ByteView Buf, size_t Start, size_t End, size_t Base);
  void ParseFiles(ByteView Buf, Volume &V);
  void ParseGuidDefined(ByteView Buf, Section &S, size_t Base);
  void Descend();

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
  unsigned Depth = 0;
  uint64_t TotalDecoded = 0;
};

void Parser::Descend() {
  if (Depth >= Limits.MaxDepth) {
    throw Error("volumes and sections nest deeper than " + std::to_string(Limits.MaxDepth) + " levels");
  }
  ++Depth;
}

Volume Parser::ParseVolume(ByteView Buf, size_t Offset, size_t End) {
  const DepthGuard Guard(*this);
  const std::string Where = "FV at " + Hex(Offset);
  if (End - Offset < fv::MinHeaderSize) {
    throw Error(Where + ": truncated header");
  }
  if (ReadU32(Buf, Offset + fv::SignatureOffset) != fv::Signature) {
    throw Error(Where + ": no _FVH signature");
  }
  Volume V;
  V.Offset = Offset;
  const uint64_t Length = ReadU64(Buf, Offset + fv::LengthOffset);
  if (Length > End - Offset) {
    throw Error("truncated " + Where + ": its header states " + Hex(Length) + " bytes, " +
                Hex(End - Offset) + " remain");
  }
  V.Length = static_cast<size_t>(Length);
  V.HeaderLength = ReadU16(Buf, Offset + fv::HeaderLengthOffset);
  if (V.HeaderLength < fv::MinHeaderSize || V.HeaderLength > V.Length || V.HeaderLength % 2 != 0) {
    throw Error(Where + ": bad header length " + Hex(V.HeaderLength));
  }
  const ByteView Header = Buf.subspan(Offset, V.HeaderLength);
  if (Sum16(Header) != 0) {
    throw Error(Where + ": bad header checksum");
  }
  size_t Entry = fv::BlockMapOffset;
  for (;; Entry += fv::BlockMapEntrySize) {
    if (Entry + fv::BlockMapEntrySize > V.HeaderLength) {
      throw Error(Where + ": block map has no terminating entry inside the header");
    }
    if (ReadU64(Header, Entry) == 0) {
      break;
    }
  }
  V.FileSystem = Guid::FromBytes(Buf, Offset + fv::FileSystemGuidOffset);
  V.FfsFileSystem = V.FileSystem == guids::Ffs2FileSystem || V.FileSystem == guids::Ffs3FileSystem;
  V.Attributes = ReadU32(Buf, Offset + fv::AttributesOffset);
  V.ErasePolarity = (V.Attributes & fv::AttribErasePolarity) != 0;

  V.FilesOffset = AlignUp(V.HeaderLength, ffs::FileAlignment);
  const size_t ExtOffset = ReadU16(Buf, Offset + fv::ExtHeaderOffsetOffset);
  if (ExtOffset != 0) {
    if (ExtOffset < V.HeaderLength || V.Length - ExtOffset < fv::ExtHeaderMinSize) {
      throw Error(Where + ": extended header outside the volume");
    }
    const uint32_t ExtSize = ReadU32(Buf, Offset + ExtOffset + fv::ExtHeaderSizeField);
    if (ExtSize < fv::ExtHeaderMinSize || ExtSize > V.Length - ExtOffset) {
      throw Error(Where + ": bad extended header size " + Hex(ExtSize));
    }
    V.Name = Guid::FromBytes(Buf, Offset + ExtOffset);
    // The dispatcher looks for the first file right after the extended header.
    V.FilesOffset = AlignUp(ExtOffset + ExtSize, ffs::FileAlignment);
  }
  V.FilesOffset = std::min(V.FilesOffset, V.Length);
  if (V.FfsFileSystem) {
    ParseFiles(Buf, V);
  } else {
    V.FreeOffset = V.Length;
  }
  return V;
}

void Parser::ParseFiles(ByteView Buf, Volume &V) {
  const ByteView Body = Buf.subspan(V.Offset, V.Length);
  size_t Pos = V.FilesOffset;
  while (V.Length - Pos >= ffs::FileHeaderSize &&
         !AllBytes(Body.subspan(Pos, ffs::FileHeaderSize), V.EraseByte())) {
    File F = ParseFile(Buf, V.Offset + Pos, V.Offset + V.Length, V.ErasePolarity);
    Pos = std::min(AlignUp(Pos + F.Size, ffs::FileAlignment), V.Length);
    V.Files.push_back(std::move(F));
  }
  V.FreeOffset = Pos;
  V.FreeSpaceErased = AllBytes(Body.subspan(Pos), V.EraseByte());
  if (V.FreeSpaceErased) {
    return;
  }
  // Data where free space should be is either another volume that this one's
  // length runs over, or leftovers; the first is a broken image.
  for (size_t At = AlignUp(V.Offset + Pos, fv::ScanStep); At + fv::MinHeaderSize <= V.Offset + V.Length;
       At += fv::ScanStep) {
    if (ReadU32(Buf, At + fv::SignatureOffset) == fv::Signature) {
      throw Error("FV at " + Hex(V.Offset) + " (" + Hex(V.Length) + " bytes) overlaps the FV at " + Hex(At));
    }
  }
}

File Parser::ParseFile(ByteView Buf, size_t Offset, size_t End, bool ErasePolarity) {
  if (End - Offset < ffs::FileHeaderSize) {
    throw Error("FFS file at " + Hex(Offset) + ": header cut short");
  }
  File F;
  F.Offset = Offset;
  F.Name = Guid::FromBytes(Buf, Offset);
  F.Type = ReadU8(Buf, Offset + ffs::TypeOffset);
  F.Attributes = ReadU8(Buf, Offset + ffs::AttributesOffset);
  F.State = ReadU8(Buf, Offset + ffs::StateOffset);
  F.HeaderSize = ffs::FileHeaderSize;
  uint64_t Size = ReadU24(Buf, Offset + ffs::SizeOffset);
  const std::string Where = "file " + F.Name.ToString() + " at " + Hex(Offset);
  if ((F.Attributes & ffs::AttribLargeFile) != 0) {
    if (End - Offset < ffs::FileHeader2Size) {
      throw Error(Where + ": header cut short");
    }
    F.HeaderSize = ffs::FileHeader2Size;
    Size = ReadU64(Buf, Offset + ffs::ExtendedSizeOffset);
  }
  if (Size < F.HeaderSize) {
    throw Error(Where + ": size " + Hex(Size) + " is smaller than its header");
  }
  if (Size > End - Offset) {
    throw Error(Where + ": size " + Hex(Size) + " runs past the end of its volume");
  }
  F.Size = static_cast<size_t>(Size);
  const ByteView Whole = Buf.subspan(Offset, F.Size);
  if (FfsHeaderChecksum(Whole.first(F.HeaderSize)) != Whole[ffs::HeaderChecksumOffset]) {
    throw Error(Where + ": bad header checksum");
  }
  const uint8_t State = ErasePolarity ? static_cast<uint8_t>(~F.State) : F.State;
  if ((State & (ffs::StateDeleted | ffs::StateHeaderInvalid)) != 0) {
    F.Deleted = true;
    return F;
  }
  if ((State & ffs::StateComplete) != ffs::StateComplete) {
    throw Error(Where + ": State " + Hex(F.State) + " is not a complete file");
  }
  const uint8_t FileChecksum = Whole[ffs::FileChecksumOffset];
  if ((F.Attributes & ffs::AttribChecksum) != 0) {
    if (static_cast<uint8_t>(Sum8(Whole.subspan(F.HeaderSize)) + FileChecksum) != 0) {
      throw Error(Where + ": bad data checksum");
    }
  } else if (FileChecksum != ffs::FileChecksumUnused) {
    throw Error(Where + ": bad data checksum (" + Hex(FileChecksum) + " where 0xAA means unused)");
  }
  if (HoldsSections(F.Type)) {
    F.Sections = ParseSections(Buf, Offset + F.HeaderSize, Offset + F.Size, Offset);
    for (const Section &S : F.Sections) {
      if (S.Type == ffs::SectionUserInterface) {
        F.UiName = S.Text;
        break;
      }
    }
  }
  return F;
}

std::vector<Section> Parser::ParseSections(ByteView Buf, size_t Start, size_t End, size_t Base) {
  const DepthGuard Guard(*this);
  std::vector<Section> Sections;
  size_t Pos = Start;
  for (;;) {
    Pos = Base + AlignUp(Pos - Base, ffs::SectionAlignment);
    if (Pos >= End) {
      break;
    }
    const std::string Where = "section at " + Hex(Pos);
    if (End - Pos < ffs::SectionHeaderSize) {
      throw Error(Where + ": header cut short");
    }
    Section S;
    S.Offset = Pos;
    S.Type = ReadU8(Buf, Pos + ffs::SectionTypeOffset);
    S.HeaderSize = ffs::SectionHeaderSize;
    size_t Size = ReadU24(Buf, Pos);
    if (Size == ffs::MaxSize24) {
      if (End - Pos < ffs::SectionHeader2Size) {
        throw Error(Where + ": header cut short");
      }
      S.HeaderSize = ffs::SectionHeader2Size;
      Size = ReadU32(Buf, Pos + ffs::SectionHeaderSize);
    }
    if (Size < S.HeaderSize) {
      throw Error(Where + ": size " + Hex(Size) + " is smaller than its header");
    }
    if (Size > End - Pos) {
      throw Error(Where + ": size " + Hex(Size) + " runs past the end of its file");
    }
    S.Size = Size;
    const size_t Data = Pos + S.HeaderSize;
    const ByteView Payload = Buf.subspan(Data, S.Size - S.HeaderSize);
    switch (S.Type) {
    case ffs::SectionGuidDefined:
      ParseGuidDefined(Buf, S, Base);
      break;
    case ffs::SectionCompression:
      if (Payload.size() < ffs::CompressionFieldsSize) {
        throw Error(Where + ": compression header cut short");
      }
      if (Payload[ffs::CompressionTypeField] == ffs::CompressionNone) {
        S.Children = ParseSections(Buf, Data + ffs::CompressionFieldsSize, Pos + S.Size, Base);
      } else {
        S.Opaque = true;
      }
      break;
    case ffs::SectionFirmwareVolumeImage:
      S.Volumes.push_back(ParseVolume(Buf, Data, Pos + S.Size));
      break;
    case ffs::SectionUserInterface:
      S.Text = Utf16ToAscii(Payload);
      break;
    case ffs::SectionVersion:
      S.Text = Utf16ToAscii(Payload.subspan(std::min(ffs::VersionBuildNumberWidth, Payload.size())));
      break;
    default:
      break;
    }
    Pos += S.Size;
    Sections.push_back(std::move(S));
  }
  return Sections;
}

void Parser::ParseGuidDefined(ByteView Buf, Section &S, size_t Base) {
  const std::string Where = "GUID-defined section at " + Hex(S.Offset);
  if (S.Size - S.HeaderSize < ffs::GuidDefinedFieldsSize) {
    throw Error(Where + ": header cut short");
  }
  const size_t Fields = S.Offset + S.HeaderSize;
  S.Definition = Guid::FromBytes(Buf, Fields);
  S.DataOffset = ReadU16(Buf, Fields + ffs::GuidDefinedDataOffsetField);
  S.GuidedAttributes = ReadU16(Buf, Fields + ffs::GuidDefinedAttributesField);
  if (S.DataOffset < S.HeaderSize + ffs::GuidDefinedFieldsSize || S.DataOffset > S.Size) {
    throw Error(Where + ": DataOffset " + Hex(S.DataOffset) + " outside the section");
  }
  const size_t DataStart = S.Offset + S.DataOffset;
  const size_t DataEnd = S.Offset + S.Size;
  if (S.Definition == guids::Lzma) {
    const ByteView Compressed = Buf.subspan(DataStart, DataEnd - DataStart);
    const uint64_t Budget = std::min(Limits.MaxStreamSize, Limits.MaxTotalDecoded - TotalDecoded);
    auto Decoded = std::make_shared<Bytes>(LzmaDecode(Compressed, Budget));
    TotalDecoded += Decoded->size();
    S.Decoded = Decoded;
    S.Children = ParseSections(*Decoded, 0, Decoded->size(), 0);
  } else if ((S.GuidedAttributes & ffs::GuidedProcessingRequired) == 0) {
    S.Children = ParseSections(Buf, DataStart, DataEnd, Base);
  } else {
    S.Opaque = true;
  }
}

} // namespace

Image ParseImage(ByteView Data, const ParseLimits &Limits) {
  Parser P(Limits);
  Image Result;
  size_t Offset = 0;
  while (Offset < Data.size() && Data.size() - Offset >= fv::MinHeaderSize) {
    if (ReadU32(Data, Offset + fv::SignatureOffset) != fv::Signature) {
      Offset += fv::ScanStep;
      continue;
    }
    Volume V = P.ParseVolume(Data, Offset, Data.size());
    Offset += AlignUp(V.Length, fv::ScanStep);
    Result.Volumes.push_back(std::move(V));
  }
  if (Result.Volumes.empty()) {
    throw Error("not a firmware image: no firmware volume header found");
  }
  return Result;
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
  Parser P(Limits);
  File F = P.ParseFile(Data, 0, Data.size(), ErasePolarity);
  if (F.Size != Data.size()) {
    throw Error("not an FFS file: its header states " + Hex(F.Size) + " bytes, the file has " +
                Hex(Data.size()));
  }
  return F;
}

} // namespace fwimage
