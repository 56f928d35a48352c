// Setup relabeling checks: what the string stand-in recorded at the arrival
// of the string protocol, held against what the form must say for the
// scenario's PCD values and riser HOB (BoardExpectations.h).
#pragma once

#include "StandIns.h"

struct RelabelCase {
  const PcdValue *Pcd;
  UINTN PcdCount;
  bool RiserHob;     // a riser-card HOB in the HOB list the driver reads
  UINT8 RiserFlag;   // its first data byte
};

// The string ops recorded at the arrival are [0, Recorded) (the expander's
// labels among them are left out); the callback's PCD reads are
// [PcdFrom, PcdUntil). Checks callback-ran-on-arrival, ran-at-tpl-notify,
// no-firmware-calls, form-name-setup, hides, option-rom-pairs, labels,
// nothing-else-written, row3-*, pcd-read-per-row.
VOID CheckRelabelArrival(const Section &Sec, const RelabelCase &C, UINTN Recorded, UINTN PcdFrom,
                         UINTN PcdUntil);
