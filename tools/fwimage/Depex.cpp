#include "Depex.h"

#include <array>

#include "Guid.h"

namespace fwimage {

namespace {

struct OpcodeName {
  const char *Name;
  uint8_t Opcode;
  int Pops;   // values taken from the stack
  int Pushes; // values left on it
};

// The boolean opcodes; PUSH carries a GUID and is handled on its own.
constexpr std::array<OpcodeName, 5> BooleanOpcodes{{
    {"AND", EFI_DEP_AND, 2, 1},
    {"OR", EFI_DEP_OR, 2, 1},
    {"NOT", EFI_DEP_NOT, 1, 1},
    {"TRUE", EFI_DEP_TRUE, 0, 1},
    {"FALSE", EFI_DEP_FALSE, 0, 1},
}};

const OpcodeName *FindByName(const std::string &Name) {
  for (const OpcodeName &Op : BooleanOpcodes) {
    if (Name == Op.Name) {
      return &Op;
    }
  }
  return nullptr;
}

const OpcodeName *FindByOpcode(uint8_t Opcode) {
  for (const OpcodeName &Op : BooleanOpcodes) {
    if (Opcode == Op.Opcode) {
      return &Op;
    }
  }
  return nullptr;
}

// Applies one opcode's stack effect; Where names the token for the reason.
void Apply(int &Depth, int Pops, int Pushes, const std::string &Where) {
  if (Depth < Pops) {
    throw Error("dependency expression: " + Where + " needs " + std::to_string(Pops) +
                " value(s), the stack holds " + std::to_string(Depth));
  }
  Depth += Pushes - Pops;
}

void CheckFinalDepth(int Depth) {
  if (Depth != 1) {
    throw Error("dependency expression leaves " + std::to_string(Depth) +
                " values on the stack at END, not one");
  }
}

} // namespace

Bytes AssembleDepex(const std::vector<std::string> &Tokens) {
  Bytes Out;
  int Depth = 0;
  bool Ended = false;
  for (size_t I = 0; I < Tokens.size(); ++I) {
    const std::string &Token = Tokens[I];
    if (Ended) {
      throw Error("dependency expression: token '" + Token + "' after END");
    }
    if (Token == "PUSH") {
      if (I + 1 >= Tokens.size()) {
        throw Error("dependency expression: PUSH without a GUID");
      }
      const auto Value = Guid::Parse(Tokens[I + 1]);
      if (!Value) {
        throw Error("dependency expression: '" + Tokens[I + 1] + "' is not a GUID");
      }
      Out.push_back(EFI_DEP_PUSH);
      Out.insert(Out.end(), Value->Bytes.begin(), Value->Bytes.end());
      Apply(Depth, 0, 1, "PUSH");
      ++I;
    } else if (Token == "END") {
      CheckFinalDepth(Depth);
      Out.push_back(EFI_DEP_END);
      Ended = true;
    } else if (const OpcodeName *Op = FindByName(Token)) {
      Apply(Depth, Op->Pops, Op->Pushes, Token);
      Out.push_back(Op->Opcode);
    } else {
      throw Error("dependency expression: unknown token '" + Token + "'");
    }
  }
  if (!Ended) {
    CheckFinalDepth(Depth);
    Out.push_back(EFI_DEP_END);
  }
  return Out;
}

std::vector<std::string> DecodeDepex(ByteView Expression) {
  std::vector<std::string> Tokens;
  int Depth = 0;
  size_t Pos = 0;
  // BEFORE/AFTER <GUID> END and a leading SOR are the scheduling forms the
  // DXE dispatcher also accepts; they appear in platform images.
  if (!Expression.empty() && (Expression[0] == EFI_DEP_BEFORE || Expression[0] == EFI_DEP_AFTER)) {
    if (Expression.size() != 1 + Guid::Size + 1 || Expression.back() != EFI_DEP_END) {
      throw Error("dependency expression: BEFORE/AFTER must be followed by one GUID and END");
    }
    Tokens.push_back(std::string(Expression[0] == EFI_DEP_BEFORE ? "BEFORE " : "AFTER ") +
                     Guid::FromBytes(Expression, 1).ToString());
    Tokens.emplace_back("END");
    return Tokens;
  }
  if (!Expression.empty() && Expression[0] == EFI_DEP_SOR) {
    Tokens.emplace_back("SOR");
    Pos = 1;
  }
  while (Pos < Expression.size()) {
    const uint8_t Opcode = Expression[Pos];
    if (Opcode == EFI_DEP_PUSH) {
      if (Expression.size() - Pos < 1 + Guid::Size) {
        throw Error("dependency expression: PUSH cut short");
      }
      Tokens.push_back("PUSH " + Guid::FromBytes(Expression, Pos + 1).ToString());
      Apply(Depth, 0, 1, "PUSH");
      Pos += 1 + Guid::Size;
    } else if (Opcode == EFI_DEP_END) {
      CheckFinalDepth(Depth);
      if (Pos + 1 != Expression.size()) {
        throw Error("dependency expression: bytes after END");
      }
      Tokens.emplace_back("END");
      return Tokens;
    } else if (const OpcodeName *Op = FindByOpcode(Opcode)) {
      Apply(Depth, Op->Pops, Op->Pushes, Op->Name);
      Tokens.emplace_back(Op->Name);
      ++Pos;
    } else {
      throw Error("dependency expression: unknown opcode " + Hex(Opcode));
    }
  }
  throw Error("dependency expression: no END");
}

} // namespace fwimage
