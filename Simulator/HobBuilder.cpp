#include "Simulator/HobBuilder.h"

#include <cstring>

#include "BoardTriggers.h"

namespace Sim {

namespace {
constexpr UINT16 HandoffHobLength = 56;
}

HobBuilder::HobBuilder() { AddRaw(EFI_HOB_TYPE_HANDOFF, HandoffHobLength); }

void HobBuilder::Append(const void *Bytes, size_t N) {
  const auto *B = static_cast<const UINT8 *>(Bytes);
  Data.insert(Data.end(), B, B + N);
}

HobBuilder &HobBuilder::AddRaw(UINT16 Type, UINT16 Length, const std::vector<UINT8> &Body) {
  EFI_HOB_GENERIC_HEADER H{Type, Length, 0};
  Append(&H, sizeof(H));
  // The body fills the HOB up to its stated length (at least what is given).
  std::vector<UINT8> Rest(Body);
  if (Length > sizeof(H) && Rest.size() < Length - sizeof(H)) {
    Rest.resize(Length - sizeof(H), 0);
  }
  Append(Rest.data(), Rest.size());
  return *this;
}

HobBuilder &HobBuilder::AddGuidHob(const EFI_GUID &Name, const std::vector<UINT8> &Payload) {
  // The PEI core rounds every HOB up to a multiple of 8.
  const size_t Length = (sizeof(EFI_HOB_GUID_TYPE) + Payload.size() + 7) & ~size_t{7};
  std::vector<UINT8> Body(sizeof(EFI_GUID));
  std::memcpy(Body.data(), &Name, sizeof(Name));
  Body.insert(Body.end(), Payload.begin(), Payload.end());
  return AddRaw(EFI_HOB_TYPE_GUID_EXTENSION, static_cast<UINT16>(Length), Body);
}

HobBuilder &HobBuilder::AddRiser(UINT8 Flag) { return AddGuidHob(RiserCardHobGuid, {Flag}); }

VOID *HobBuilder::Finish() {
  if (!Ended) {
    EFI_HOB_GENERIC_HEADER End{EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
    Append(&End, sizeof(End));
    Ended = true;
  }
  Storage.assign((Data.size() + 7) / 8, 0);
  std::memcpy(Storage.data(), Data.data(), Data.size());
  return Storage.data();
}

}  // namespace Sim
