// Whole-file reads and all-or-nothing writes.
#pragma once

#include <string>

#include "Bytes.h"

namespace fwimage {

Bytes ReadFile(const std::string &Path);

// Writes through a temporary file in Path's directory, renamed over Path when
// complete: a failure leaves neither Path nor the temporary behind.
void WriteFileAtomic(const std::string &Path, ByteView Data);

} // namespace fwimage
