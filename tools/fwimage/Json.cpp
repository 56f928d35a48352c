#include "Json.h"

#include <cstdio>

namespace fwimage {

namespace {

// Printable ASCII goes as it is; control characters, DEL and every byte past
// ASCII as \u00XX, read as bytes whatever the signedness of char.
constexpr unsigned char FirstPlainChar = 0x20;
constexpr unsigned char DeleteChar = 0x7F;

std::string Quoted(const std::string &Text) {
  std::string Out = "\"";
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += C;
    } else if (Byte < FirstPlainChar || Byte >= DeleteChar) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\u%04X", static_cast<unsigned>(Byte));
      Out += Escape;
    } else {
      Out += C;
    }
  }
  return Out + "\"";
}

} // namespace

void Json::Open(char Bracket) {
  Separate();
  Out << Bracket;
  First = true;
}

void Json::Close(char Bracket) {
  Out << Bracket;
  First = false;
}

void Json::Key(const char *Name) {
  Separate();
  Out << '"' << Name << "\":";
  First = true; // the value follows without a comma
}

void Json::Raw(const std::string &Value) {
  Separate();
  Out << Value;
}

void Json::String(const std::string &Value) { Raw(Quoted(Value)); }

void Json::Strings(const std::vector<std::string> &Values) {
  Open('[');
  for (const std::string &V : Values) {
    String(V);
  }
  Close(']');
}

void Json::OptionalNumber(const std::optional<uint16_t> &Value) {
  if (Value) {
    Number(*Value);
  } else {
    Null();
  }
}

void Json::String(const char *Name, const std::string &Value) {
  Key(Name);
  String(Value);
}

void Json::Number(const char *Name, uint64_t Value) {
  Key(Name);
  Number(Value);
}

void Json::Bool(const char *Name, bool Value) {
  Key(Name);
  Bool(Value);
}

void Json::Strings(const char *Name, const std::vector<std::string> &Values) {
  Key(Name);
  Strings(Values);
}

void Json::OptionalString(const char *Name, const std::optional<std::string> &Value) {
  Key(Name);
  if (Value) {
    String(*Value);
  } else {
    Null();
  }
}

void Json::Separate() {
  if (!First) {
    Out << ',';
  }
  First = false;
}

} // namespace fwimage
