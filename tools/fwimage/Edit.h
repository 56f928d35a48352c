// `fwimage replace`, `remove` and `extract`: files found by GUID anywhere in
// the image (or in the volume --fv names), compressed volumes included.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Guid.h"
#include "Insert.h"
#include "Rewrite.h"

namespace fwimage {

struct EditOptions {
  std::optional<Guid> Volume; // only files in the FV of this name
  uint32_t Preset = DefaultLzmaPreset;
};

// Each file takes the place of the file with its GUID, which must be there
// once and of the same type, in a volume whose images run on the same
// machine. Returns the new image, the same size.
Bytes ReplaceFiles(ByteView ImageData, const std::vector<Bytes> &Files, const EditOptions &Options,
                   EditSummary *Summary = nullptr, const ParseLimits &Limits = {});

// The files are gone: a pad file where one sat between others, free space
// where it was last. A file an APRIORI file names is refused (unless that
// APRIORI file goes too).
Bytes RemoveFiles(ByteView ImageData, const std::vector<Guid> &Names, const EditOptions &Options,
                  EditSummary *Summary = nullptr, const ParseLimits &Limits = {});

enum class SectionKind { Pe32, Te, Raw, Ui, Depex, Version };
std::optional<SectionKind> ParseSectionKind(std::string_view Name);

// The file as it sits in the image, or the body of its first section of that
// kind (encapsulations opened, volumes inside it not entered).
Bytes ExtractFile(ByteView ImageData, const Guid &Name, std::optional<SectionKind> Kind,
                  const std::optional<Guid> &Volume = std::nullopt, const ParseLimits &Limits = {});

// Throws Error unless the new image parses and holds exactly what the edit
// meant: each given file's bytes once more (insert) or as many times as before
// (replace), each removed GUID once less.
// Before is the index of the image the edit started from.
void VerifyEdit(const SiteIndex &Before, ByteView After, const std::vector<Bytes> &Added,
                const std::vector<Bytes> &Replaced, const std::vector<Guid> &Removed, const ParseLimits &Limits);

} // namespace fwimage
