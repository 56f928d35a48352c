// The editing commands: `fwimage insert`, `replace` and `remove` through one
// pipeline (parse, plan, rewrite, verify; the caller writes the result all
// or nothing), and `extract`. Files are found by GUID anywhere in the image
// (or in the volume --fv names), compressed volumes included.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Guid.h"
#include "Rewrite.h"
#include "Sites.h"
#include "Summary.h"

namespace fwimage {

// liblzma preset for recompression. With the original stream's lc/lp/pb and
// dictionary, preset 6 gives a stream no larger than the firmware build's own
// (OVMF's DXE stream: 1,559,428 bytes against its 1,562,572), so a file put
// into a compressed volume costs the flash about its own compressed size and
// no more. Lower presets are faster but give away flash: preset 2 is 8%
// larger on the same stream, about 120 KB of OVMF's compressed volume.
constexpr uint32_t DefaultLzmaPreset = 6;

struct EditOptions {
  // insert: the FV of this name (default: the FV with the DXE core);
  // replace, remove, extract: only files in it.
  std::optional<Guid> Volume;
  uint32_t Preset = DefaultLzmaPreset;
};

// What an edit asks for, planned on the parsed image: the changes, and what
// the rewritten image must then hold.
struct EditRequest {
  EditPlans Plans;
  std::vector<const Bytes *> Added;    // each once more than before
  std::vector<const Bytes *> Replaced; // as often as before, with these bytes
  std::vector<Guid> Removed;           // each once less
  std::vector<std::string> Notes;      // for the summary: what the edit is allowed but may not do
};
using EditPlanner = std::function<EditRequest(const SiteIndex &)>;

// An edit as the summary reports it, and how to recompress.
struct EditRun {
  EditKind Kind = EditKind::Insert;
  size_t Files = 0;
  uint32_t Preset = DefaultLzmaPreset;
  EditSummary *Summary = nullptr; // filled in when the edit succeeds
};

// The pipeline every edit goes through: the strict parse of ImageData's
// volume area, Plan on its index, the rewrite, and the check that the result
// reads back holding what the request says. Returns the new image, the same
// size.
Bytes RunEdit(ByteView ImageData, const EditPlanner &Plan, const EditRun &Run, const ParseLimits &Limits);

// Throws Error unless a given file can go into V: a large-file header only
// in an FFS3 volume, images only for the machine V's files of its boot
// phase run on (Machine.h). Returns a note for the summary when nothing may
// dispatch it there.
std::optional<std::string> CheckFits(const File &Given, const Volume &V);

// New FFS files into the DXE volume of a flash image (or the one Options
// names), also when that volume sits inside a compressed FV-image file.
// Throws Error (and changes nothing) when a file is not an FFS file, a GUID
// is already there, an image in a file is for another machine than the
// volume's, the volume has no room (after growing it, where it can grow), or
// the way to the volume cannot be rewritten.
Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const EditOptions &Options,
                  EditSummary *Summary = nullptr, const ParseLimits &Limits = {});

// Each file takes the place of the file with its GUID, which must be there
// once and of the same type, in a volume whose images run on the same
// machine.
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

} // namespace fwimage
