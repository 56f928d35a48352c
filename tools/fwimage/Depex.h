// PI dependency expressions: the postfix byte code the DXE dispatcher and the
// SMM core evaluate before starting a driver.
#pragma once

#include <string>
#include <vector>

#include "Bytes.h"
#include "Uefi/Depex.h"

namespace fwimage {

// Tokens: PUSH <GUID>, AND, OR, NOT, TRUE, FALSE, END (END appended when the
// last token is not END). Throws Error unless exactly one value is left.
Bytes AssembleDepex(const std::vector<std::string> &Tokens);

// The expression as "PUSH <GUID>", "AND", ... one token an entry (the way
// UEFIExtract prints it). Throws Error on a malformed expression.
std::vector<std::string> DecodeDepex(ByteView Expression);

} // namespace fwimage
