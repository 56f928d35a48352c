// What an edit (insert, replace, remove) changed, for the tool's report: as
// text, one line a volume, or as JSON for scripts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace fwimage {

enum class EditKind { Insert, Replace, Remove };

// A file placed elsewhere in its volume than it was: a given one that no
// longer fits its slot, or one holding a stream that, recompressed, does not.
struct MovedFile {
  std::string File;
  size_t From = 0; // offsets in the buffer that holds the volume, as `list` shows them
  size_t To = 0;
  size_t Cost = 0;           // bytes of the volume's free space it took
  bool Recompressed = false; // moved for the stream in it
};

struct VolumeChange {
  std::string Name;
  unsigned Depth = 0; // volumes around it
  size_t FreeBefore = 0;
  size_t FreeAfter = 0;
  size_t GrownBy = 0;
  std::vector<MovedFile> Moves; // files placed elsewhere in it than they were
};

struct EditSummary {
  EditKind Kind = EditKind::Insert;
  size_t Files = 0;                  // the files given, or GUIDs removed
  std::vector<VolumeChange> Volumes; // every volume rewritten, outer before inner
  unsigned Recompressed = 0;         // streams encoded anew
  unsigned Strongest = 0;            // of them, encoded at the strongest setting to fit their place
  double Seconds = 0;                // the edit's run time, as the tool measured it
  std::vector<std::string> Notes;    // what the edit was allowed but may not achieve (a file nothing dispatches)

  // The volume the files went into (insert), and the outermost one rewritten.
  const VolumeChange &Target() const { return Volumes.back(); }
  const VolumeChange &Outer() const { return Volumes.front(); }
  unsigned FilesMoved() const;
};

void PrintSummary(std::ostream &Out, const EditSummary &S);
void PrintSummaryJson(std::ostream &Out, const EditSummary &S);

} // namespace fwimage
