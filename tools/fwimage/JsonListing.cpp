// `fwimage list --json`: the same tree as the text listing, for scripts. The
// schema is documented in README.md; every key is always present (null or []
// when it does not apply), so a reader needs no special cases.
#include <cstdio>
#include <string>

#include "Ffs.h"
#include "List.h"
#include "Machine.h"

namespace fwimage {

namespace {

constexpr char FirstPlainChar = 0x20;
constexpr char DeleteChar = 0x7F;

std::string Quoted(const std::string &Text) {
  std::string Out = "\"";
  for (const char C : Text) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += C;
    } else if (C < FirstPlainChar || C == DeleteChar) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(C)));
      Out += Escape;
    } else {
      Out += C;
    }
  }
  return Out + "\"";
}

// A small writer: objects and arrays as nested calls, commas handled here.
class Json {
public:
  explicit Json(std::ostream &Out) : Out(Out) {}

  void Open(char Bracket) {
    Separate();
    Out << Bracket;
    First = true;
  }
  void Close(char Bracket) {
    Out << Bracket;
    First = false;
  }
  void Key(const char *Name) {
    Separate();
    Out << '"' << Name << "\":";
    First = true; // the value follows without a comma
  }
  void Raw(const std::string &Value) {
    Separate();
    Out << Value;
  }
  void String(const std::string &Value) { Raw(Quoted(Value)); }
  void Number(uint64_t Value) { Raw(std::to_string(Value)); }
  void Null() { Raw("null"); }
  void Bool(bool Value) { Raw(Value ? "true" : "false"); }
  void Strings(const std::vector<std::string> &Values) {
    Open('[');
    for (const std::string &V : Values) {
      String(V);
    }
    Close(']');
  }
  void OptionalNumber(const std::optional<uint16_t> &Value) {
    if (Value) {
      Number(*Value);
    } else {
      Null();
    }
  }

private:
  void Separate() {
    if (!First) {
      Out << ',';
    }
    First = false;
  }

  std::ostream &Out;
  bool First = true;
};

void WriteVolume(Json &J, const Volume &V);

void WriteMachine(Json &J, const std::optional<uint16_t> &Machine) {
  J.Key("machine");
  J.OptionalNumber(Machine);
  J.Key("machineName");
  const char *Name = Machine ? MachineName(*Machine) : nullptr;
  if (Name != nullptr) {
    J.String(Name);
  } else {
    J.Null();
  }
}

void WriteSection(Json &J, const Section &S) {
  J.Open('{');
  J.Key("type");
  J.Number(S.Type);
  J.Key("typeName");
  J.String(SectionTypeName(S.Type));
  J.Key("offset");
  J.Number(S.Offset);
  J.Key("size");
  J.Number(S.Size);
  J.Key("guid");
  if (S.Type == ffs::SectionGuidDefined) {
    J.String(S.Definition.ToString());
  } else {
    J.Null();
  }
  J.Key("decodedSize");
  if (S.Decoded) {
    J.Number(S.Decoded->size());
  } else {
    J.Null();
  }
  J.Key("opened");
  J.Bool(!S.Opaque);
  J.Key("text");
  if (S.Type == ffs::SectionUserInterface || S.Type == ffs::SectionVersion) {
    J.String(S.Text);
  } else {
    J.Null();
  }
  WriteMachine(J, S.Machine);
  J.Key("faults");
  J.Strings(S.Faults);
  J.Key("sections");
  J.Open('[');
  for (const Section &C : S.Children) {
    WriteSection(J, C);
  }
  J.Close(']');
  J.Key("volumes");
  J.Open('[');
  for (const Volume &V : S.Volumes) {
    WriteVolume(J, V);
  }
  J.Close(']');
  J.Close('}');
}

void WriteFile(Json &J, const File &F) {
  J.Open('{');
  J.Key("guid");
  J.String(F.Name.ToString());
  J.Key("type");
  J.Number(F.Type);
  J.Key("typeName");
  J.String(FileTypeName(F.Type));
  J.Key("offset");
  J.Number(F.Offset);
  J.Key("size");
  J.Number(F.Size);
  J.Key("ui");
  if (F.UiName.empty()) {
    J.Null();
  } else {
    J.String(F.UiName);
  }
  WriteMachine(J, F.Machine);
  J.Key("deleted");
  J.Bool(F.Deleted);
  J.Key("faults");
  J.Strings(F.Faults);
  J.Key("sections");
  J.Open('[');
  for (const Section &S : F.Sections) {
    WriteSection(J, S);
  }
  J.Close(']');
  J.Close('}');
}

void WriteVolume(Json &J, const Volume &V) {
  J.Open('{');
  J.Key("guid");
  if (V.Name) {
    J.String(V.Name->ToString());
  } else {
    J.Null();
  }
  J.Key("fileSystem");
  J.String(V.FileSystem.ToString());
  J.Key("offset");
  J.Number(V.Offset);
  J.Key("size");
  J.Number(V.Length);
  J.Key("free");
  if (V.FfsFileSystem) {
    J.Number(V.FreeSize());
  } else {
    J.Null();
  }
  J.Key("freeErased");
  J.Bool(V.FfsFileSystem && V.FreeSpaceErased);
  J.Key("faults");
  J.Strings(V.Faults);
  J.Key("files");
  J.Open('[');
  for (const File &F : V.Files) {
    WriteFile(J, F);
  }
  J.Close(']');
  J.Close('}');
}

} // namespace

void PrintListingJson(std::ostream &Out, const Listing &L) {
  Json J(Out);
  J.Open('{');
  J.Key("size");
  J.Number(L.ImageSize);
  J.Key("descriptor");
  J.Bool(L.Flash.has_value());
  J.Key("flash");
  if (L.Flash && L.Flash->FlashSize != 0) {
    J.Open('{');
    J.Key("chips");
    J.Number(L.Flash->Components);
    J.Key("size");
    J.Number(L.Flash->FlashSize);
    J.Close('}');
  } else {
    J.Null();
  }
  J.Key("regions");
  J.Open('[');
  if (L.Flash) {
    for (const FlashRegion &R : L.Flash->Regions) {
      J.Open('{');
      J.Key("index");
      J.Number(R.Index);
      J.Key("name");
      J.String(R.Name);
      J.Key("offset");
      J.Number(R.Offset);
      J.Key("size");
      J.Number(R.Size);
      J.Key("note");
      if (R.Note.empty()) {
        J.Null();
      } else {
        J.String(R.Note);
      }
      J.Key("faults");
      J.Strings(R.Faults);
      J.Close('}');
    }
  }
  J.Close(']');
  J.Key("volumes");
  J.Open('[');
  for (const Volume &V : L.Volumes.Volumes) {
    WriteVolume(J, V);
  }
  J.Close(']');
  J.Key("faults");
  std::vector<std::string> Faults = L.Volumes.Faults;
  if (L.Flash) {
    Faults.insert(Faults.begin(), L.Flash->Faults.begin(), L.Flash->Faults.end());
  }
  J.Strings(Faults);
  J.Key("faultCount");
  J.Number(L.FaultCount());
  J.Close('}');
  Out << "\n";
}

} // namespace fwimage
