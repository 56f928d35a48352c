// Line building for the console: decimal, hex, status names, GUIDs and
// quoted strings, with no C library underneath.
#include "TestApp.h"

namespace {

constexpr CHAR8 HexDigits[] = "0123456789ABCDEF";
constexpr CHAR8 FirstPrintable = 0x20;
constexpr CHAR8 LastPrintable = 0x7E;

struct StatusName {
  EFI_STATUS Status;
  const CHAR8 *Name;
};

constexpr StatusName StatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
};

}  // namespace

Line &Line::Char(CHAR8 C) {
  if (Used < Capacity) {
    Buffer[Used++] = C;
    Buffer[Used] = 0;
  }
  return *this;
}

Line &Line::Str(const CHAR8 *Text) {
  if (Text == nullptr) {
    return Str("(null)");
  }
  while (*Text != 0) {
    Char(*Text++);
  }
  return *this;
}

Line &Line::Wide(const CHAR16 *Text) {
  if (Text == nullptr) {
    return Str("(null)");
  }
  for (; *Text != 0; ++Text) {
    Char(*Text <= static_cast<CHAR16>(LastPrintable) ? static_cast<CHAR8>(*Text) : '?');
  }
  return *this;
}

Line &Line::Quoted(const CHAR8 *Text) {
  if (Text == nullptr) {
    return Str("NULL");
  }
  Char('"');
  for (; *Text != 0; ++Text) {
    const CHAR8 C = *Text;
    if (C < FirstPrintable || C > LastPrintable || C == '"' || C == '\\') {
      const auto Byte = static_cast<UINT8>(C);
      Str("\\x").Char(HexDigits[Byte >> 4]).Char(HexDigits[Byte & 0xF]);
    } else {
      Char(C);
    }
  }
  return Char('"');
}

Line &Line::Dec(UINT64 Value) {
  CHAR8 Digits[20];
  UINTN Count = 0;
  do {
    Digits[Count++] = static_cast<CHAR8>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count > 0) {
    Char(Digits[--Count]);
  }
  return *this;
}

Line &Line::Hex(UINT64 Value, UINTN Digits) {
  Str("0x");
  UINTN Needed = 1;
  while (Needed < 16 && (Value >> (4 * Needed)) != 0) {
    ++Needed;
  }
  if (Digits > Needed) {
    Needed = Digits;
  }
  for (UINTN I = Needed; I > 0; --I) {
    Char(HexDigits[(Value >> (4 * (I - 1))) & 0xF]);
  }
  return *this;
}

Line &Line::Status(EFI_STATUS Status) {
  for (const StatusName &Known : StatusNames) {
    if (Known.Status == Status) {
      return Str(Known.Name);
    }
  }
  return Hex(Status, 16);
}

Line &Line::Guid(const EFI_GUID &G) {
  auto Field = [this](UINT64 Value, UINTN Digits) {
    for (UINTN I = Digits; I > 0; --I) {
      Char(HexDigits[(Value >> (4 * (I - 1))) & 0xF]);
    }
  };
  Field(G.Data1, 8);
  Char('-');
  Field(G.Data2, 4);
  Char('-');
  Field(G.Data3, 4);
  Char('-');
  Field(G.Data4[0], 2);
  Field(G.Data4[1], 2);
  Char('-');
  for (UINTN I = 2; I < 8; ++I) {
    Field(G.Data4[I], 2);
  }
  return *this;
}

bool TextEqual(const CHAR8 *A, const CHAR8 *B) {
  if (A == nullptr || B == nullptr) {
    return A == B;
  }
  while (*A != 0 && *A == *B) {
    ++A;
    ++B;
  }
  return *A == *B;
}
