// fwimage: builds FFS files and puts them into firmware images.
//   fwimage depex --out X.depex TOKEN...
//   fwimage ffs --type driver|smm --pe X.efi --depex X.depex --ui NAME --version V --guid G --out X.ffs
//   fwimage insert IMAGE --out NEW [--fv GUID] FILE.ffs...
//   fwimage list IMAGE
// Every failure prints one line on stderr, exits non-zero and leaves no output.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "Depex.h"
#include "FileIo.h"
#include "Ffs.h"
#include "FirmwareVolume.h"
#include "Insert.h"
#include "List.h"

using namespace fwimage;

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

class UsageError : public Error {
public:
  using Error::Error;
};

constexpr const char *UsageText =
    "usage: fwimage depex --out X.depex TOKEN...\n"
    "       fwimage ffs --type driver|smm --pe X.efi --depex X.depex --ui NAME --version V --guid G --out X.ffs\n"
    "       fwimage insert IMAGE --out NEW [--fv GUID] FILE.ffs...\n"
    "       fwimage list IMAGE\n";

// Splits "--name value" pairs (names listed in Options) from positional words.
struct Arguments {
  std::map<std::string, std::string> Options;
  std::vector<std::string> Positional;
};

Arguments ParseArguments(int Argc, char **Argv, const std::vector<std::string> &Known) {
  Arguments A;
  for (int I = 2; I < Argc; ++I) {
    const std::string Word = Argv[I];
    if (Word.size() > 2 && Word.compare(0, 2, "--") == 0) {
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

int Depex(int Argc, char **Argv) {
  const Arguments A = ParseArguments(Argc, Argv, {"--out"});
  if (A.Positional.empty()) {
    throw UsageError("depex needs at least one token");
  }
  WriteFileAtomic(Required(A, "--out"), AssembleDepex(A.Positional));
  return 0;
}

int Ffs(int Argc, char **Argv) {
  const Arguments A =
      ParseArguments(Argc, Argv, {"--type", "--pe", "--depex", "--ui", "--version", "--guid", "--out"});
  if (!A.Positional.empty()) {
    throw UsageError("unexpected argument " + A.Positional.front());
  }
  FfsBuildInput In;
  const std::string &Type = Required(A, "--type");
  if (Type == "driver") {
    In.Kind = DriverKind::Dxe;
  } else if (Type == "smm") {
    In.Kind = DriverKind::Smm;
  } else {
    throw UsageError("--type must be driver or smm, not " + Type);
  }
  In.Name = ParseGuidArgument(Required(A, "--guid"), "--guid");
  In.Ui = Required(A, "--ui");
  In.Version = Required(A, "--version");
  const std::string &Out = Required(A, "--out");
  In.Pe = ReadFile(Required(A, "--pe"));
  In.Depex = ReadFile(Required(A, "--depex"));
  WriteFileAtomic(Out, BuildFfsFile(In));
  return 0;
}

int Insert(int Argc, char **Argv) {
  const Arguments A = ParseArguments(Argc, Argv, {"--out", "--fv"});
  if (A.Positional.size() < 2) {
    throw UsageError("insert needs an image and at least one FFS file");
  }
  InsertOptions Options;
  if (const auto It = A.Options.find("--fv"); It != A.Options.end()) {
    Options.TargetVolume = ParseGuidArgument(It->second, "--fv");
  }
  const std::string &Out = Required(A, "--out");
  const Bytes Image = ReadFile(A.Positional.front());
  std::vector<Bytes> Files;
  for (size_t I = 1; I < A.Positional.size(); ++I) {
    Files.push_back(ReadFile(A.Positional[I]));
  }
  const auto Start = std::chrono::steady_clock::now();
  InsertSummary Summary;
  const Bytes NewImage = InsertFiles(Image, Files, Options, &Summary);
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  WriteFileAtomic(Out, NewImage);
  std::printf("inserted %zu file(s) into FV %s: free %s -> %s\n", Files.size(), Summary.TargetVolume.c_str(),
              Hex(Summary.TargetFreeBefore).c_str(), Hex(Summary.TargetFreeAfter).c_str());
  if (Summary.Recompressed != 0) {
    std::printf("recompressed %u stream(s); FV %s: free %s -> %s\n", Summary.Recompressed,
                Summary.OuterVolume.c_str(), Hex(Summary.OuterFreeBefore).c_str(),
                Hex(Summary.OuterFreeAfter).c_str());
  }
  std::printf("image rebuilt in %.2f s\n", Seconds);
  return 0;
}

int List(int Argc, char **Argv) {
  const Arguments A = ParseArguments(Argc, Argv, {});
  if (A.Positional.size() != 1) {
    throw UsageError("list needs exactly one image");
  }
  const Bytes Data = ReadFile(A.Positional.front());
  PrintImage(std::cout, ParseImage(Data));
  return 0;
}

} // namespace

int main(int Argc, char **Argv) {
  const std::string Command = Argc > 1 ? Argv[1] : "";
  try {
    if (Command == "depex") {
      return Depex(Argc, Argv);
    }
    if (Command == "ffs") {
      return Ffs(Argc, Argv);
    }
    if (Command == "insert") {
      return Insert(Argc, Argv);
    }
    if (Command == "list") {
      return List(Argc, Argv);
    }
    throw UsageError(Command.empty() ? "no command" : "unknown command " + Command);
  } catch (const UsageError &E) {
    std::cerr << "fwimage: " << E.what() << "\n";
    if (Command != "depex" && Command != "ffs" && Command != "insert" && Command != "list") {
      std::cerr << UsageText;
    }
    return ExitUsage;
  } catch (const Error &E) {
    std::cerr << "fwimage: " << E.what() << "\n";
    return ExitFailure;
  } catch (const std::exception &E) {
    std::cerr << "fwimage: " << E.what() << "\n";
    return ExitFailure;
  }
}
