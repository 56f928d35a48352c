// Console output. Each line goes to the firmware's ConOut (the serial
// console under QEMU) in short UCS-2 chunks.
#include "TestApp.h"

namespace {

constexpr UINTN ChunkLength = 64;

VOID Out(const CHAR8 *Text, UINTN Length) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut = gApp.SystemTable->ConOut;
  if (ConOut == nullptr) {
    return;
  }
  CHAR16 Chunk[ChunkLength + 1];
  UINTN Done = 0;
  while (Done < Length) {
    UINTN N = 0;
    while (N < ChunkLength && Done < Length) {
      Chunk[N++] = static_cast<CHAR16>(static_cast<UINT8>(Text[Done++]));
    }
    Chunk[N] = 0;
    ConOut->OutputString(ConOut, Chunk);
  }
}

}  // namespace

VOID Emit(const Line &L) {
  Out(L.Text(), L.Length());
  Out("\r\n", 2);
}
