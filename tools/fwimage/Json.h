// A small JSON writer for what fwimage prints for scripts (`list --json`,
// the edit summaries): objects and arrays as nested calls, commas handled here.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fwimage {

class Json {
public:
  explicit Json(std::ostream &Out) : Out(Out) {}

  void Open(char Bracket);
  void Close(char Bracket);
  void Key(const char *Name);
  void Raw(const std::string &Value);
  void String(const std::string &Value);
  void Number(uint64_t Value) { Raw(std::to_string(Value)); }
  void Null() { Raw("null"); }
  void Bool(bool Value) { Raw(Value ? "true" : "false"); }
  void Strings(const std::vector<std::string> &Values);
  void OptionalNumber(const std::optional<uint16_t> &Value);
  // A member of the object being written: Key, then the value.
  void String(const char *Name, const std::string &Value);
  void Number(const char *Name, uint64_t Value);
  void Bool(const char *Name, bool Value);
  void Strings(const char *Name, const std::vector<std::string> &Values);
  // Value, or null.
  void OptionalString(const char *Name, const std::optional<std::string> &Value);

private:
  void Separate();

  std::ostream &Out;
  bool First = true;
};

} // namespace fwimage
