// Test bench only: the few PE32+ header fields the dispatch boot compares,
// read from an image's first bytes (a file as built, or an image as a loader
// laid it out: the headers are copied unchanged but for ImageBase).
#pragma once

#include "Uefi/Base.h"

namespace PeImage {

inline constexpr UINT16 DosMagic = 0x5A4D;            // "MZ"
inline constexpr UINTN DosLfanewOffset = 0x3C;        // UINT32: file offset of "PE\0\0"
inline constexpr UINT32 PeSignature = 0x00004550;     // "PE\0\0"
inline constexpr UINTN CoffTimeDateStampOffset = 8;   // from the signature
inline constexpr UINTN OptionalHeaderOffset = 24;     // from the signature
inline constexpr UINT16 Pe32PlusMagic = 0x20B;
inline constexpr UINTN EntryPointOffset = 16;         // from the optional header
inline constexpr UINTN SizeOfImageOffset = 56;
inline constexpr UINTN SubsystemOffset = 68;
// Farthest a sane header sits from the image start; also bounds what a
// caller must have readable there.
inline constexpr UINT32 MaxLfanew = 0x400;
inline constexpr UINTN HeaderBytesNeeded = MaxLfanew + OptionalHeaderOffset + SubsystemOffset + 2;

struct Facts {
  UINT32 TimeDateStamp;  // a content hash for /Brepro images
  UINT32 EntryRva;
  UINT32 SizeOfImage;
  UINT16 Subsystem;
};

inline UINT32 Read32(const UINT8 *P) {
  return static_cast<UINT32>(P[0]) | (static_cast<UINT32>(P[1]) << 8) |
         (static_cast<UINT32>(P[2]) << 16) | (static_cast<UINT32>(P[3]) << 24);
}
inline UINT16 Read16(const UINT8 *P) {
  return static_cast<UINT16>(P[0] | (P[1] << 8));
}

// TRUE when Start holds an "MZ" header leading to a PE32+ optional header.
// Reads at most HeaderBytesNeeded bytes from Start.
inline bool Parse(const UINT8 *Start, Facts *Out) {
  if (Read16(Start) != DosMagic) {
    return false;
  }
  const UINT32 Lfanew = Read32(Start + DosLfanewOffset);
  if (Lfanew < DosLfanewOffset + 4 || Lfanew > MaxLfanew) {
    return false;
  }
  const UINT8 *Pe = Start + Lfanew;
  if (Read32(Pe) != PeSignature) {
    return false;
  }
  const UINT8 *Optional = Pe + OptionalHeaderOffset;
  if (Read16(Optional) != Pe32PlusMagic) {
    return false;
  }
  Out->TimeDateStamp = Read32(Pe + CoffTimeDateStampOffset);
  Out->EntryRva = Read32(Optional + EntryPointOffset);
  Out->SizeOfImage = Read32(Optional + SizeOfImageOffset);
  Out->Subsystem = Read16(Optional + SubsystemOffset);
  return true;
}

}  // namespace PeImage
