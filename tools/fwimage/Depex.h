// PI dependency expressions: the postfix byte code the DXE dispatcher and the
// SMM core evaluate before starting a driver.
#pragma once

#include <string>
#include <vector>

#include "Bytes.h"

namespace fwimage {

namespace depex {
constexpr uint8_t Before = 0x00;
constexpr uint8_t After = 0x01;
constexpr uint8_t Push = 0x02;
constexpr uint8_t And = 0x03;
constexpr uint8_t Or = 0x04;
constexpr uint8_t Not = 0x05;
constexpr uint8_t True = 0x06;
constexpr uint8_t False = 0x07;
constexpr uint8_t End = 0x08;
constexpr uint8_t Sor = 0x09;
} // namespace depex

// Tokens: PUSH <GUID>, AND, OR, NOT, TRUE, FALSE, END (END appended when the
// last token is not END). Throws Error unless exactly one value is left.
Bytes AssembleDepex(const std::vector<std::string> &Tokens);

// The expression as "PUSH <GUID>", "AND", ... one token an entry (the way
// UEFIExtract prints it). Throws Error on a malformed expression.
std::vector<std::string> DecodeDepex(ByteView Expression);

} // namespace fwimage
