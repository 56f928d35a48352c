// `fwimage list --json`: the same tree as the text listing, for scripts. The
// schema is documented in README.md; every key is always present (null or []
// when it does not apply), so a reader needs no special cases.
#include <string>

#include "Codec.h"
#include "Ffs.h"
#include "Json.h"
#include "List.h"
#include "Machine.h"
#include "Walk.h"

namespace fwimage {

namespace {

void WriteMachine(Json &J, const std::optional<uint16_t> &Machine) {
  J.Key("machine");
  J.OptionalNumber(Machine);
  const char *Name = Machine ? MachineName(*Machine) : nullptr;
  J.OptionalString("machineName", Name != nullptr ? std::optional<std::string>(Name) : std::nullopt);
}

// Each item an object; its children go into the array its Enter opens and
// its Leave closes.
class JsonWriter : public Visitor {
public:
  explicit JsonWriter(Json &J) : J(J) {}

  bool EnterVolume(const Volume &V) override {
    J.Open('{');
    J.OptionalString("guid", V.Name ? std::optional<std::string>(V.Name->ToString()) : std::nullopt);
    J.String("fileSystem", V.FileSystem.ToString());
    J.Number("offset", V.Offset);
    J.Number("size", V.Length);
    J.Key("free");
    if (V.FfsFileSystem) {
      J.Number(V.FreeSize());
    } else {
      J.Null();
    }
    J.Bool("freeErased", V.FfsFileSystem && V.FreeSpaceErased);
    J.Strings("faults", V.Faults);
    J.Key("files");
    J.Open('[');
    return true;
  }
  void LeaveVolume(const Volume &) override { CloseItem(); }

  bool EnterFile(const File &F) override {
    J.Open('{');
    J.String("guid", F.Name.ToString());
    J.Number("type", F.Type);
    J.String("typeName", FileTypeName(F.Type));
    J.Number("offset", F.Offset);
    J.Number("size", F.Size);
    J.OptionalString("ui", F.UiName.empty() ? std::nullopt : std::optional<std::string>(F.UiName));
    WriteMachine(J, F.Machine);
    J.Bool("deleted", F.Deleted);
    J.Strings("faults", F.Faults);
    J.Key("sections");
    J.Open('[');
    return true;
  }
  void LeaveFile(const File &) override { CloseItem(); }

  bool EnterSection(const Section &S) override {
    J.Open('{');
    J.Number("type", S.Type);
    J.String("typeName", SectionTypeName(S.Type));
    J.Number("offset", S.Offset);
    J.Number("size", S.Size);
    J.OptionalString("guid", S.Type == ffs::SectionGuidDefined ? std::optional<std::string>(S.Definition().ToString())
                                                                : std::nullopt);
    J.Key("decodedSize");
    if (const Bytes *Decoded = S.Decoded()) {
      J.Number(Decoded->size());
    } else {
      J.Null();
    }
    J.OptionalString("algorithm", S.Algorithm() != Compression::None
                                      ? std::optional<std::string>(CodecOf(S.Algorithm()).Name)
                                      : std::nullopt);
    J.Bool("opened", !S.Opaque());
    const bool HasText = S.Type == ffs::SectionUserInterface || S.Type == ffs::SectionVersion;
    J.OptionalString("text", HasText ? std::optional<std::string>(S.Text()) : std::nullopt);
    WriteMachine(J, S.Machine());
    J.Strings("faults", S.Faults);
    // A section holds sections or volumes, never both: the other list is empty.
    J.Key("sections");
    J.Open('[');
    if (!S.Volumes().empty()) {
      J.Close(']');
      J.Key("volumes");
      J.Open('[');
    }
    return true;
  }
  void LeaveSection(const Section &S) override {
    if (S.Volumes().empty()) {
      J.Close(']');
      J.Key("volumes");
      J.Open('[');
    }
    CloseItem();
  }

private:
  void CloseItem() {
    J.Close(']');
    J.Close('}');
  }

  Json &J;
};

void WriteRegions(Json &J, const Listing &L) {
  J.Key("regions");
  J.Open('[');
  if (L.Flash) {
    for (const FlashRegion &R : L.Flash->Regions) {
      J.Open('{');
      J.Number("index", R.Index);
      J.String("name", R.Name);
      J.Number("offset", R.Offset);
      J.Number("size", R.Size);
      J.OptionalString("note", R.Note.empty() ? std::nullopt : std::optional<std::string>(R.Note));
      J.Strings("faults", R.Faults);
      J.Close('}');
    }
  }
  J.Close(']');
}

} // namespace

void PrintListingJson(std::ostream &Out, const Listing &L) {
  Json J(Out);
  J.Open('{');
  J.Number("size", L.ImageSize);
  J.Bool("descriptor", L.Flash.has_value());
  J.Key("flash");
  if (L.Flash && L.Flash->FlashSize != 0) {
    J.Open('{');
    J.Number("chips", L.Flash->Components);
    J.Number("size", L.Flash->FlashSize);
    J.Close('}');
  } else {
    J.Null();
  }
  WriteRegions(J, L);
  J.Key("volumes");
  J.Open('[');
  JsonWriter Writer(J);
  Walk(L.Volumes, Writer);
  J.Close(']');
  J.Key("faults");
  std::vector<std::string> Faults = L.Volumes.Faults;
  if (L.Flash) {
    Faults.insert(Faults.begin(), L.Flash->Faults.begin(), L.Flash->Faults.end());
  }
  J.Strings(Faults);
  J.Number("faultCount", L.FaultCount());
  J.Close('}');
  Out << "\n";
}

} // namespace fwimage
