// GUIDs as firmware stores them: the first three fields little-endian, the
// last eight bytes in order (the registry form's "mixed-endian" layout).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Bytes.h"

namespace fwimage {

struct Guid {
  static constexpr size_t Size = 16;
  std::array<uint8_t, Size> Bytes{};

  // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX, optionally in braces.
  static std::optional<Guid> Parse(std::string_view Text);
  static Guid FromBytes(ByteView Data, size_t Offset);
  std::string ToString() const;
  bool IsAll(uint8_t Value) const;
  auto operator<=>(const Guid &) const = default;
};

// Section and file-system GUIDs the tool acts on.
namespace guids {
inline const Guid Lzma = *Guid::Parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
inline const Guid LzmaX86 = *Guid::Parse("D42AE6BD-1352-4BFB-909A-CA72A6EAE889"); // LzmaX86Decode
inline const Guid Tiano = *Guid::Parse("A31280AD-481E-41B6-95E8-127F4C984779");   // EfiVariant::Tiano
inline const Guid Ffs2FileSystem = *Guid::Parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
inline const Guid Ffs3FileSystem = *Guid::Parse("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
} // namespace guids

} // namespace fwimage
