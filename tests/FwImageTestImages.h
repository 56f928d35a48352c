// Small synthetic flash images for the fwimage suites, laid out by hand from
// the PI volume and file formats (independently of the tool's own writer).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Guid.h"
#include "Lzma.h"

namespace fwtest {

using fwimage::Bytes;
using fwimage::Guid;

inline Guid G(const char *Text) { return *Guid::Parse(Text); }

// Runs F and returns the Error's reason, "(no error)" when nothing was thrown.
template <typename Fn> std::string ReasonOf(Fn F) {
  try {
    F();
  } catch (const fwimage::Error &E) {
    return E.what();
  }
  return "(no error)";
}

inline void Put(Bytes &B, size_t At, uint64_t Value, size_t Width) {
  for (size_t I = 0; I < Width; ++I) {
    B[At + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

// Out of line: inlined into the builders below, GCC 12's -Wstringop-overflow
// misjudges the copy's bound.
[[gnu::noinline]] inline void CopyInto(Bytes &B, size_t At, const Bytes &From) {
  std::copy(From.begin(), From.end(), B.begin() + static_cast<std::ptrdiff_t>(At));
}

inline void Append(Bytes &B, const Bytes &More) {
  const size_t At = B.size();
  B.resize(At + More.size());
  CopyInto(B, At, More);
}

inline uint8_t Sum8(const uint8_t *P, size_t N) {
  uint8_t S = 0;
  for (size_t I = 0; I < N; ++I) {
    S = static_cast<uint8_t>(S + P[I]);
  }
  return S;
}

// One section: 4-byte header, payload.
inline Bytes MakeSection(uint8_t Type, const Bytes &Payload) {
  Bytes S(4 + Payload.size());
  Put(S, 0, S.size(), 3);
  S[3] = Type;
  CopyInto(S, 4, Payload);
  return S;
}

// Sections laid end to end, each starting 4-byte aligned.
inline Bytes MakeSections(const std::vector<Bytes> &List) {
  Bytes Out;
  for (const Bytes &S : List) {
    Out.resize((Out.size() + 3) / 4 * 4, 0);
    Append(Out, S);
  }
  return Out;
}

// An FFS file with a valid header checksum, data checksum (0x40 set) and the
// State of a complete file in a volume erased to 0xFF. Large: the 32-byte
// header of a large file (attribute 0x01, the size in the UINT64 at 24).
inline Bytes FfsFile(const Guid &Name, uint8_t Type, const Bytes &Body, bool Large = false) {
  const size_t HeaderSize = Large ? 32 : 24;
  Bytes F(HeaderSize + Body.size());
  std::copy(Name.Bytes.begin(), Name.Bytes.end(), F.begin());
  F[18] = Type;
  F[19] = Large ? 0x41 : 0x40;
  if (Large) {
    Put(F, 24, F.size(), 8);
  } else {
    Put(F, 20, F.size(), 3);
  }
  CopyInto(F, HeaderSize, Body);
  F[17] = static_cast<uint8_t>(0x100 - Sum8(F.data() + HeaderSize, Body.size()));
  const uint8_t HeaderSum = static_cast<uint8_t>(Sum8(F.data(), HeaderSize) - F[17]);
  F[16] = static_cast<uint8_t>(0x100 - HeaderSum);
  F[23] = 0xF8;
  return F;
}

struct VolumeLayout {
  Guid Name;
  size_t Length = 0x1000;
  std::vector<Bytes> Files;
  bool ErasePolarity = true;
};

// An FFS2 volume header of HeaderLength bytes at the start of V, for a
// volume of V's size, its checksum sealed last; the block map is left zero.
inline void VolumeHeader(Bytes &V, size_t HeaderLength, bool ErasePolarity, size_t ExtHeaderOffset) {
  std::fill(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(HeaderLength), 0);
  const Guid Ffs2 = G("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
  std::copy(Ffs2.Bytes.begin(), Ffs2.Bytes.end(), V.begin() + 16);
  Put(V, 32, V.size(), 8);
  Put(V, 40, 0x4856465F, 4);
  Put(V, 44, ErasePolarity ? 0x0004FEFF : 0x0004F6FF, 4);
  Put(V, 48, HeaderLength, 2);
  Put(V, 52, ExtHeaderOffset, 2);
  V[55] = 2;
}

inline void SealVolumeHeader(Bytes &V, size_t HeaderLength) {
  uint16_t Sum = 0;
  for (size_t I = 0; I < HeaderLength; I += 2) {
    Sum = static_cast<uint16_t>(Sum + (V[I] | (V[I + 1] << 8)));
  }
  Put(V, 50, static_cast<uint16_t>(0x10000 - Sum), 2);
}

// The smallest volume there is: a 0x40-byte header whose block map is its
// terminating entry alone, nothing after it.
inline Bytes HeaderOnlyVolume() {
  Bytes V(0x40);
  VolumeHeader(V, 0x40, true, 0);
  SealVolumeHeader(V, 0x40);
  return V;
}

// An FFS2 volume: 0x48-byte header (one block-map run), extended header with
// the name at 0x48, files from 0x60, each 8-byte aligned, free space erased.
inline Bytes MakeVolume(const VolumeLayout &Layout) {
  const uint8_t Erase = Layout.ErasePolarity ? 0xFF : 0x00;
  Bytes V(Layout.Length, Erase);
  std::fill(V.begin(), V.begin() + 0x60, 0);
  VolumeHeader(V, 0x48, Layout.ErasePolarity, 0x48);
  Put(V, 56, Layout.Length / 0x10, 4);
  Put(V, 60, 0x10, 4);
  SealVolumeHeader(V, 0x48);
  std::copy(Layout.Name.Bytes.begin(), Layout.Name.Bytes.end(), V.begin() + 0x48);
  Put(V, 0x48 + 16, 0x14, 4);
  size_t At = 0x60;
  for (const Bytes &F : Layout.Files) {
    At = (At + 7) / 8 * 8;
    EXPECT_LE(At + F.size(), Layout.Length) << "test volume too small";
    std::copy(F.begin(), F.end(), V.begin() + static_cast<std::ptrdiff_t>(At));
    if (!Layout.ErasePolarity) {
      V[At + 23] = 0x07;
    }
    At += F.size();
  }
  return V;
}

// A GUID-defined section the way firmware builds write the compressed
// ones: DataOffset 0x18, attributes "processing required", the stream.
inline Bytes GuidedSection(const Guid &Definition, const Bytes &Stream) {
  Bytes Payload(20);
  std::copy(Definition.Bytes.begin(), Definition.Bytes.end(), Payload.begin());
  Put(Payload, 16, 0x18, 2);
  Put(Payload, 18, 0x0001, 2);
  Append(Payload, Stream);
  return MakeSection(0x02, Payload);
}

// .lzma properties for test streams: 5D (lc 3, lp 0, pb 2), 64 KiB dictionary.
inline const Bytes TestLzmaHeader = {0x5D, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};

// GUID-defined LZMA section the way OVMF writes it, classic .lzma data
// (liblzma's Preset).
inline Bytes LzmaSection(const Bytes &Stream, uint32_t Preset = 0) {
  return GuidedSection(G("EE4E5898-3914-4259-9D6E-DC7BD79403CF"),
                       fwimage::LzmaEncodeLike(Stream, TestLzmaHeader, Preset));
}

// EFI_COMPRESSION_SECTION: UncompressedLength, CompressionType, the stream.
inline Bytes CompressionSection(size_t UncompressedLength, uint8_t Type, const Bytes &Stream) {
  Bytes Payload(5);
  Put(Payload, 0, UncompressedLength, 4);
  Payload[4] = Type;
  Append(Payload, Stream);
  return MakeSection(0x01, Payload);
}

// A recognisable PE image of Size bytes (MZ, PE signature, Machine, the
// optional header magic: 0x20B PE32+, 0x10B PE32), x64 unless told otherwise.
inline Bytes Pe32Plus(size_t Size, uint8_t Fill, uint16_t Machine = 0x8664, uint16_t Magic = 0x20B) {
  Bytes Pe(Size, Fill);
  Pe[0] = 'M';
  Pe[1] = 'Z';
  Put(Pe, 0x3C, 0x40, 4);
  Put(Pe, 0x40, 0x00004550, 4);
  Put(Pe, 0x40 + 4, Machine, 2);
  Put(Pe, 0x40 + 24, Magic, 2);
  return Pe;
}

inline Bytes Utf16(const std::string &Text) {
  Bytes Out;
  for (const char C : Text) {
    Out.push_back(static_cast<uint8_t>(C));
    Out.push_back(0);
  }
  Out.push_back(0);
  Out.push_back(0);
  return Out;
}

// A platform-like image: FVMAIN-like outer volume whose one FV-image file
// holds an LZMA section with a pad, a PEI-like volume, a pad and the DXE
// volume (DXE core plus one driver), followed by a SEC-like volume that must
// never change.
struct CompressedImage {
  Bytes Image;
  size_t OuterLength = 0;
};

inline const Guid OuterName = G("48DB5E17-707C-472D-91CD-1613E7EF51B0");
inline const Guid PeiName = G("6938079B-B503-4E3D-9D24-B28337A25806");
inline const Guid DxeName = G("7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1");
inline const Guid SecName = G("763BED0D-DE9F-48F5-81F1-3E90E1B1A015");
inline const Guid DxeCoreFile = G("D6A2CB7F-6A18-4E2F-B43B-9920A733700A");
inline const Guid SomeDriverFile = G("1A1E4886-9517-440E-9FDE-3BE44CEE2136");
inline const Guid FvImageFile = G("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792");

inline Bytes DxeVolume(size_t Length) {
  return MakeVolume({DxeName, Length,
                 {FfsFile(DxeCoreFile, 0x05, MakeSections({MakeSection(0x10, Pe32Plus(0x300, 0x11)),
                                                       MakeSection(0x15, Utf16("DxeCore"))})),
                  FfsFile(SomeDriverFile, 0x07, MakeSections({MakeSection(0x13, {0x06, 0x08}),
                                                          MakeSection(0x10, Pe32Plus(0x201, 0x22)),
                                                          MakeSection(0x15, Utf16("CpuDxe"))}))}});
}

inline Bytes DecodedStream(size_t DxeLength) {
  return MakeSections({MakeSection(0x19, Bytes(0x7C - 4, 0)),
                   MakeSection(0x17, MakeVolume({PeiName, 0x400, {FfsFile(G("52C05B14-0B98-496C-BC3B-04B50211D680"), 0x04,
                                                                    MakeSections({MakeSection(0x10, Pe32Plus(0x100, 0x33))}))}})),
                   MakeSection(0x19, Bytes(0x08, 0)), MakeSection(0x17, DxeVolume(DxeLength))});
}

inline CompressedImage MakeCompressedImage(size_t OuterLength = 0x2000, size_t DxeLength = 0x2000) {
  CompressedImage C;
  C.OuterLength = OuterLength;
  const Bytes Outer =
      MakeVolume({OuterName, OuterLength, {FfsFile(FvImageFile, 0x0B, LzmaSection(DecodedStream(DxeLength)))}});
  C.Image = Outer;
  Append(C.Image, MakeVolume({SecName, 0x400, {FfsFile(G("DF1CCEF6-F301-4A63-9661-FC6030DCC880"), 0x03,
                                                      MakeSections({MakeSection(0x10, Pe32Plus(0x80, 0x44))}))}}));
  return C;
}

// A TE image ("VZ", Machine) of Size bytes: what PEI modules run in place as.
inline Bytes TeImage(size_t Size, uint8_t Fill, uint16_t Machine) {
  Bytes Te(Size, Fill);
  Te[0] = 'V';
  Te[1] = 'Z';
  Put(Te, 2, Machine, 2);
  return Te;
}

// An AArch64-like image: a top-level volume whose SEC and PEIM run in place
// from flash (TE sections), then the FV-image file whose LZMA stream holds a
// RAW pad and the one DXE volume, with DxeSlack bytes of free space. The
// outer volume is OuterLength bytes.
inline const Guid XipSecFile = G("469FC080-AEC1-11DF-927C-0002A5D5C51B");
inline const Guid XipPeimFile = G("2AD0FC59-2314-4BF3-8633-13FA22A624A0");
inline const Guid XipDxeName = G("64074AFE-340A-4BE6-94BA-91B5B4D0F71E");
inline const Guid XipDriverFile = G("4C6E0267-C77D-410D-8100-1495911A989D");
inline const Guid XipLastFile = G("9A5163E7-5C29-453F-825C-837A46A81E15");

inline std::vector<Bytes> XipDxeFiles() {
  return {
      FfsFile(DxeCoreFile, 0x05, MakeSections({MakeSection(0x10, Pe32Plus(0x300, 0x11, 0xAA64)),
                                               MakeSection(0x15, Utf16("DxeCore"))})),
      FfsFile(XipDriverFile, 0x07, MakeSections({MakeSection(0x13, {0x06, 0x08}),
                                                 MakeSection(0x10, Pe32Plus(0x201, 0x22, 0xAA64))})),
      FfsFile(XipLastFile, 0x07, MakeSections({MakeSection(0x13, {0x06, 0x08}),
                                               MakeSection(0x10, Pe32Plus(0x181, 0x23, 0xAA64))}))};
}

inline Bytes XipImage(size_t OuterLength = 0x3000, size_t DxeSlack = 0x10) {
  const std::vector<Bytes> Dxe = XipDxeFiles();
  size_t End = 0x60;
  for (const Bytes &F : Dxe) {
    End = (End + 7) / 8 * 8 + F.size();
  }
  const size_t DxeLength = (End + 7) / 8 * 8 + DxeSlack;
  const Bytes Stream = MakeSections({MakeSection(0x19, Bytes(0x8, 0)),
                                     MakeSection(0x17, MakeVolume({XipDxeName, DxeLength, Dxe}))});
  return MakeVolume(
      {OuterName, OuterLength,
       {FfsFile(XipSecFile, 0x03, MakeSections({MakeSection(0x12, TeImage(0x1C0, 0x31, 0xAA64))})),
        FfsFile(XipPeimFile, 0x06, MakeSections({MakeSection(0x1B, {0x06, 0x08}),
                                                 MakeSection(0x12, TeImage(0x150, 0x32, 0xAA64))})),
        FfsFile(FvImageFile, 0x0B, LzmaSection(Stream))}});
}

// A full SPI image of Size bytes: a flash descriptor whose FLMAP0 0x00040003
// and FLMAP1 0x06 put the components at 0x30, the regions at 0x40 and the
// masters at 0x60 (eight region entries), with the given regions (index,
// offset, size in 4 KiB units); the other entries unused (base 0x7FFF,
// limit 0). Everything past the descriptor is erased.
struct RegionLayout {
  unsigned Index;
  size_t Offset;
  size_t Size;
};

inline Bytes MakeFlashImage(size_t Size, const std::vector<RegionLayout> &Regions) {
  Bytes Img(Size, 0xFF);
  std::fill(Img.begin() + 0x10, Img.begin() + 0x1000, 0);
  Put(Img, 0x10, 0x0FF0A55A, 4);
  Put(Img, 0x14, 0x00040003, 4);
  Put(Img, 0x18, 0x06, 4);
  for (size_t I = 0; I < 8; ++I) {
    Put(Img, 0x40 + 4 * I, 0x7FFF, 4);
  }
  for (const RegionLayout &R : Regions) {
    Put(Img, 0x40 + 4 * R.Index, ((R.Offset + R.Size - 1) >> 12) << 16 | R.Offset >> 12, 4);
  }
  return Img;
}

// The flash chips of a MakeFlashImage() image (one chip of 512 KiB as made):
// their number in FLMAP0 bits 9:8 (less one) and their densities in FLCOMP.
inline void SetFlashChips(Bytes &Img, unsigned Chips, uint32_t Flcomp) {
  Put(Img, 0x14, 0x00040003 | (Chips - 1) << 8, 4);
  Put(Img, 0x30, Flcomp, 4);
}

// An image with one of each fault `list` must mark, each in its own item,
// and good items before, between and after them:
//   DXE volume at 0: Good1; BadHeader (header checksum byte 0x5A off);
//     BadData (data checksum byte 0x5A off); Unknown (a GUID-defined section
//     of an unknown GUID, processing required); BadSection (its PE32
//     section's size runs 0x100 past the file); Good2.
//   PEI volume at 0x2000: BadSize (its size runs past the volume).
//   SEC volume at 0x2800 (header checksum field 0x1234 off): Good3.
struct DamagedImage {
  Bytes Image;
  uint8_t StoredHeaderSum, ComputedHeaderSum;
  uint8_t StoredDataSum, ComputedDataSum;
  uint16_t StoredVolumeSum, ComputedVolumeSum;
  size_t BadSectionSize;
};

inline const Guid Good1 = G("600D0001-0000-4000-8000-000000000001");
inline const Guid BadHeader = G("BAD00002-0000-4000-8000-000000000002");
inline const Guid BadData = G("BAD00003-0000-4000-8000-000000000003");
inline const Guid UnknownCompression = G("BAD00004-0000-4000-8000-000000000004");
inline const Guid BadSection = G("BAD00005-0000-4000-8000-000000000005");
inline const Guid Good2 = G("600D0006-0000-4000-8000-000000000006");
inline const Guid BadSize = G("BAD00007-0000-4000-8000-000000000007");
inline const Guid Good3 = G("600D0008-0000-4000-8000-000000000008");
// Brotli's GUID-defined section: a compression this tool does not decode.
inline const Guid SomeCompression = G("3D532050-5CDA-4FD0-879E-0F7F630D5AFB");

inline Bytes UiDriver(const Guid &Name, const char *Ui) {
  return FfsFile(Name, 0x07, MakeSections({MakeSection(0x10, Pe32Plus(0x80, 0x11)), MakeSection(0x15, Utf16(Ui))}));
}

inline DamagedImage MakeDamagedImage() {
  DamagedImage D{};
  Bytes Header = UiDriver(BadHeader, "BadHeader");
  D.ComputedHeaderSum = Header[16];
  Header[16] ^= 0x5A;
  D.StoredHeaderSum = Header[16];
  Bytes Data = UiDriver(BadData, "BadData");
  D.ComputedDataSum = Data[17];
  Data[17] ^= 0x5A; // outside the header checksum
  D.StoredDataSum = Data[17];
  Bytes Guided(20);
  std::copy(SomeCompression.Bytes.begin(), SomeCompression.Bytes.end(), Guided.begin());
  Put(Guided, 16, 0x18, 2);
  Put(Guided, 18, 0x0001, 2);
  Append(Guided, Bytes(0x40, 0x3C));
  const Bytes Unknown = FfsFile(UnknownCompression, 0x07, MakeSection(0x02, Guided));
  Bytes Pe = MakeSection(0x10, Pe32Plus(0x80, 0x22));
  D.BadSectionSize = Pe.size() + 0x100;
  Put(Pe, 0, D.BadSectionSize, 3);
  const Bytes Section = FfsFile(BadSection, 0x07, Pe);
  D.Image = MakeVolume({DxeName, 0x2000,
                        {UiDriver(Good1, "Good1"), Header, Data, Unknown, Section, UiDriver(Good2, "Good2")}});

  Bytes Oversize = UiDriver(BadSize, "BadSize");
  Put(Oversize, 20, 0x1000, 3);
  Oversize[16] = 0;
  Oversize[16] = static_cast<uint8_t>(0x100 - static_cast<uint8_t>(Sum8(Oversize.data(), 24) - Oversize[17] - Oversize[23]));
  Append(D.Image, MakeVolume({PeiName, 0x800, {Oversize}}));

  Bytes Sec = MakeVolume({SecName, 0x400, {UiDriver(Good3, "Good3")}});
  D.ComputedVolumeSum = static_cast<uint16_t>(Sec[50] | Sec[51] << 8);
  D.StoredVolumeSum = static_cast<uint16_t>(D.ComputedVolumeSum ^ 0x1234);
  Put(Sec, 50, D.StoredVolumeSum, 2);
  Append(D.Image, Sec);
  return D;
}

} // namespace fwtest
