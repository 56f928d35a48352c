// fwimage: builds FFS files and puts them into firmware images. The commands
// and their usage are the table in Commands() below. Every failure prints one
// line on stderr naming the file it concerns, exits non-zero and leaves no
// output. `list` shows what it can read of a damaged image, each fault on its
// line, and exits 1 if it found any.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Depex.h"
#include "Descriptor.h"
#include "Edit.h"
#include "FileIo.h"
#include "Ffs.h"
#include "FirmwareVolume.h"
#include "List.h"
#include "Summary.h"

using namespace fwimage;

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

#ifndef FWIMAGE_VERSION
#define FWIMAGE_VERSION "unversioned"
#endif
constexpr const char *Version = FWIMAGE_VERSION;

class UsageError : public Error {
public:
  using Error::Error;
};

// Errors are one line whatever an argument or a file name holds: control
// characters are shown escaped.
std::string OneLine(const std::string &Text) {
  constexpr unsigned char FirstPlain = 0x20;
  constexpr unsigned char Delete = 0x7F;
  std::string Out;
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if (C == '\n') {
      Out += "\\n";
    } else if (C == '\t') {
      Out += "\\t";
    } else if (C == '\r') {
      Out += "\\r";
    } else if (Byte < FirstPlain || Byte == Delete) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\x%02X", Byte);
      Out += Escape;
    } else {
      Out += C;
    }
  }
  return Out;
}

// Runs Step; an Error from it is reported as being about Path.
template <typename Fn> auto About(const std::string &Path, Fn Step) {
  try {
    return Step();
  } catch (const UsageError &) {
    throw;
  } catch (const Error &E) {
    throw Error(Path + ": " + E.what());
  }
}

// Splits "--name value" pairs (names listed in Options) from positional words.
struct Arguments {
  std::map<std::string, std::string> Options;
  std::vector<std::string> Positional;
};

// Flags take no value; they appear in Options with an empty one.
Arguments ParseArguments(int Argc, char **Argv, const std::vector<std::string> &Known,
                         const std::vector<std::string> &Flags) {
  Arguments A;
  for (int I = 2; I < Argc; ++I) {
    const std::string Word = Argv[I];
    if (Word.size() > 2 && Word.compare(0, 2, "--") == 0) {
      if (std::find(Flags.begin(), Flags.end(), Word) != Flags.end()) {
        if (!A.Options.emplace(Word, "").second) {
          throw UsageError(Word + " given twice");
        }
        continue;
      }
      bool IsKnown = false;
      for (const std::string &K : Known) {
        IsKnown = IsKnown || K == Word;
      }
      if (!IsKnown) {
        throw UsageError("unknown option " + Word);
      }
      if (I + 1 >= Argc) {
        throw UsageError(Word + " needs a value");
      }
      if (!A.Options.emplace(Word, Argv[I + 1]).second) {
        throw UsageError(Word + " given twice");
      }
      ++I;
    } else {
      A.Positional.push_back(Word);
    }
  }
  return A;
}

const std::string &Required(const Arguments &A, const std::string &Name) {
  const auto It = A.Options.find(Name);
  if (It == A.Options.end()) {
    throw UsageError("missing " + Name);
  }
  return It->second;
}

Guid ParseGuidArgument(const std::string &Text, const std::string &What) {
  const auto Value = Guid::Parse(Text);
  if (!Value) {
    throw UsageError(What + " '" + Text + "' is not a GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX)");
  }
  return *Value;
}

int Depex(const Arguments &A) {
  if (A.Positional.empty()) {
    throw UsageError("depex needs at least one token");
  }
  WriteFileAtomic(Required(A, "--out"), AssembleDepex(A.Positional));
  return 0;
}

// The option's value, or "" where it is not given.
std::string ValueOr(const Arguments &A, const std::string &Name) {
  const auto It = A.Options.find(Name);
  return It != A.Options.end() ? It->second : std::string();
}

int Ffs(const Arguments &A) {
  if (!A.Positional.empty()) {
    throw UsageError("unexpected argument " + A.Positional.front());
  }
  FfsBuildInput In;
  const std::string &Type = Required(A, "--type");
  const FfsKindInfo *Kind = FindFfsKind(Type);
  if (Kind == nullptr) {
    throw UsageError("--type must be " + FfsKindNames() + ", not " + Type);
  }
  In.Kind = Kind->Kind;
  In.Name = ParseGuidArgument(Required(A, "--guid"), "--guid");
  const std::string &Out = Required(A, "--out");
  const std::string PePath = ValueOr(A, "--pe");
  const std::string TePath = ValueOr(A, "--te");
  const std::string DataPath = ValueOr(A, "--data");
  const std::string DepexPath = ValueOr(A, "--depex");
  if (!PePath.empty() && !TePath.empty()) {
    throw UsageError("--pe and --te both given: a file holds one image");
  }
  In.Te = !TePath.empty();
  In.Ui = ValueOr(A, "--ui");
  In.Version = ValueOr(A, "--version");
  // What the type takes, checked before any file is read.
  if (const auto Wrong = FfsShapeError({In.Kind, !PePath.empty() || In.Te, In.Te, !DataPath.empty(),
                                        !DepexPath.empty(), !In.Ui.empty() || !In.Version.empty()})) {
    throw UsageError(*Wrong);
  }
  if (Kind->TakesImage) {
    Required(A, "--ui");
    Required(A, "--version");
    const std::string &ImagePath = In.Te ? TePath : PePath;
    In.Pe = ReadFile(ImagePath);
    About(ImagePath, [&] { CheckImage(In.Pe, In.Te); });
  } else {
    In.Data = ReadFile(DataPath);
  }
  if (!DepexPath.empty()) {
    In.Depex = ReadFile(DepexPath);
    About(DepexPath, [&] { DecodeDepex(In.Depex); });
  }
  WriteFileAtomic(Out, About(Out, [&] { return BuildFfsFile(In); }));
  return 0;
}

// --preset: liblzma's 0-9 for recompression; lower is faster and costs flash.
uint32_t PresetOption(const Arguments &A) {
  const auto It = A.Options.find("--preset");
  if (It == A.Options.end()) {
    return DefaultLzmaPreset;
  }
  if (It->second.size() != 1 || It->second[0] < '0' || It->second[0] > '9') {
    throw UsageError("--preset must be 0 to 9, not " + It->second);
  }
  return static_cast<uint32_t>(It->second[0] - '0');
}

std::optional<Guid> VolumeOption(const Arguments &A) {
  if (const auto It = A.Options.find("--fv"); It != A.Options.end()) {
    return ParseGuidArgument(It->second, "--fv");
  }
  return std::nullopt;
}

// The FFS files named after the image, each checked on its own: what is
// wrong with one input file is said about that file.
std::vector<Bytes> ReadFfsInputs(const Arguments &A) {
  std::vector<Bytes> Files;
  for (size_t I = 1; I < A.Positional.size(); ++I) {
    Files.push_back(ReadFile(A.Positional[I]));
    About(A.Positional[I], [&] { ParseStandaloneFile(Files.back()); });
  }
  return Files;
}

// What every edit command reads before its own inputs.
struct EditArguments {
  EditOptions Options;
  std::string Out;
  std::string ImagePath;
  bool Json = false;
};

EditArguments ReadEditArguments(const Arguments &A, const char *Needs) {
  if (A.Positional.size() < 2) {
    throw UsageError(Needs);
  }
  EditArguments E;
  E.Options.Volume = VolumeOption(A);
  E.Options.Preset = PresetOption(A);
  E.Out = Required(A, "--out");
  E.ImagePath = A.Positional.front();
  E.Json = A.Options.count("--json") != 0;
  return E;
}

// The rest of an edit once its inputs are read: Edit run on the image under
// the image's name, timed, the result written all or nothing, then the
// summary, as text or JSON.
int FinishEdit(const EditArguments &E, const std::function<Bytes(EditSummary *)> &Edit) {
  const auto Start = std::chrono::steady_clock::now();
  EditSummary Summary;
  const Bytes NewImage = About(E.ImagePath, [&] { return Edit(&Summary); });
  Summary.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  WriteFileAtomic(E.Out, NewImage);
  if (E.Json) {
    PrintSummaryJson(std::cout, Summary);
  } else {
    PrintSummary(std::cout, Summary);
  }
  return 0;
}

int Insert(const Arguments &A) {
  const EditArguments E = ReadEditArguments(A, "insert needs an image and at least one FFS file");
  const Bytes Image = ReadFile(E.ImagePath);
  const std::vector<Bytes> Files = ReadFfsInputs(A);
  return FinishEdit(E, [&](EditSummary *Summary) { return InsertFiles(Image, Files, E.Options, Summary); });
}

int Replace(const Arguments &A) {
  const EditArguments E = ReadEditArguments(A, "replace needs an image and at least one FFS file");
  const Bytes Image = ReadFile(E.ImagePath);
  const std::vector<Bytes> Files = ReadFfsInputs(A);
  return FinishEdit(E, [&](EditSummary *Summary) { return ReplaceFiles(Image, Files, E.Options, Summary); });
}

int Remove(const Arguments &A) {
  const EditArguments E = ReadEditArguments(A, "remove needs an image and at least one file GUID");
  std::vector<Guid> Names;
  for (size_t I = 1; I < A.Positional.size(); ++I) {
    Names.push_back(ParseGuidArgument(A.Positional[I], "file GUID"));
  }
  const Bytes Image = ReadFile(E.ImagePath);
  return FinishEdit(E, [&](EditSummary *Summary) { return RemoveFiles(Image, Names, E.Options, Summary); });
}

int Extract(const Arguments &A) {
  if (A.Positional.size() != 2) {
    throw UsageError("extract needs an image and one file GUID");
  }
  std::optional<SectionKind> Kind;
  if (const auto It = A.Options.find("--section"); It != A.Options.end()) {
    Kind = ParseSectionKind(It->second);
    if (!Kind) {
      throw UsageError("--section must be pe32, te, raw, ui, depex or version, not " + It->second);
    }
  }
  const Guid Name = ParseGuidArgument(A.Positional[1], "file GUID");
  const std::string &Out = Required(A, "--out");
  const std::string &ImagePath = A.Positional.front();
  const Bytes Image = ReadFile(ImagePath);
  const auto Volume = VolumeOption(A);
  WriteFileAtomic(Out, About(ImagePath, [&] { return ExtractFile(Image, Name, Kind, Volume); }));
  return 0;
}

int List(const Arguments &A) {
  if (A.Positional.size() != 1) {
    throw UsageError("list needs exactly one image");
  }
  const std::string &Path = A.Positional.front();
  const Bytes Image = ReadFile(Path); // the listing refers to it
  const Listing L = ReadListing(Image);
  if (!L.Flash && L.Volumes.Volumes.empty()) {
    // Nothing to list: a plain error, not an empty tree.
    throw Error(Path + ": " + L.Volumes.Faults.front());
  }
  if (A.Options.count("--json") != 0) {
    PrintListingJson(std::cout, L);
  } else {
    PrintListing(std::cout, L);
  }
  std::cout.flush();
  if (!std::cout) {
    throw Error("cannot write the listing of " + Path + " to standard output");
  }
  const size_t Faults = L.FaultCount();
  if (Faults != 0) {
    std::cerr << "fwimage: " << OneLine(Path) << ": " << Faults << " fault(s), each marked FAULT on its line\n";
    return ExitFailure;
  }
  return 0;
}

struct Command {
  const char *Name;
  const char *Usage; // after "fwimage NAME "
  std::vector<std::string> Options; // each takes a value
  std::vector<std::string> Flags;
  int (*Run)(const Arguments &);
  const char *Note = nullptr; // a line of usage after this command's
};

const std::vector<Command> &Commands() {
  // What insert, replace and remove take alike.
  const std::vector<std::string> EditValues{"--out", "--fv", "--preset"};
  const std::vector<std::string> EditFlags{"--json"};
  static const std::vector<Command> Table{
      {"depex", "--out X.depex TOKEN...", {"--out"}, {}, Depex},
      {"ffs",
       "--type TYPE --guid G --out X.ffs (--pe X.efi | --te X.te | --data X.bin) [--depex X.depex] [--ui NAME "
       "--version V]",
       {"--type", "--pe", "--te", "--data", "--depex", "--ui", "--version", "--guid", "--out"},
       {},
       Ffs,
       "(ffs TYPE: peim, driver, smm, mm-standalone, application take --pe (a peim --te instead), --ui, --version "
       "and, optional, --depex but application; freeform takes --data as its RAW section, raw --data as the file's "
       "body)"},
      {"insert", "IMAGE --out NEW [--fv GUID] [--json] FILE.ffs...", EditValues, EditFlags, Insert},
      {"replace", "IMAGE --out NEW [--fv GUID] [--json] FILE.ffs...", EditValues, EditFlags, Replace},
      {"remove", "IMAGE --out NEW [--fv GUID] [--json] GUID...", EditValues, EditFlags, Remove,
       "(insert, replace, remove: [--preset 0-9], liblzma's preset for recompression, default 6; --json, the "
       "summary as JSON)"},
      {"extract", "IMAGE GUID --out X [--fv GUID] [--section pe32|te|raw|ui|depex|version]",
       {"--out", "--fv", "--section"}, {}, Extract},
      {"list", "[--json] IMAGE", {}, {"--json"}, List},
  };
  return Table;
}

std::string UsageText() {
  std::string Text;
  for (const Command &C : Commands()) {
    Text += (Text.empty() ? "usage: " : "       ") + std::string("fwimage ") + C.Name + " " + C.Usage + "\n";
    if (C.Note != nullptr) {
      Text += std::string("       ") + C.Note + "\n";
    }
  }
  return Text + "       fwimage --help | --version\n";
}

int Run(const std::string &Name, int Argc, char **Argv) {
  for (const Command &C : Commands()) {
    if (Name == C.Name) {
      return C.Run(ParseArguments(Argc, Argv, C.Options, C.Flags));
    }
  }
  throw UsageError((Name.empty() ? "no command" : "unknown command " + Name) + " (fwimage --help lists the commands)");
}

} // namespace

int main(int Argc, char **Argv) {
  const std::string Command = Argc > 1 ? Argv[1] : "";
  if (Command == "--help" || Command == "-h") {
    std::cout << UsageText();
    return 0;
  }
  if (Command == "--version") {
    std::cout << "fwimage " << Version << "\n";
    return 0;
  }
  try {
    return Run(Command, Argc, Argv);
  } catch (const UsageError &E) {
    std::cerr << "fwimage: " << OneLine(E.what()) << "\n";
    return ExitUsage;
  } catch (const Error &E) {
    std::cerr << "fwimage: " << OneLine(E.what()) << "\n";
    return ExitFailure;
  } catch (const std::exception &E) {
    std::cerr << "fwimage: " << OneLine(E.what()) << "\n";
    return ExitFailure;
  }
}
