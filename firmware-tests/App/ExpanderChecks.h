// Expander presence-label checks, over what the SMBus and string stand-ins
// recorded.
#pragma once

#include "StandIns.h"

// Recorded writes to the eight expander labels, so far.
UINTN ExpanderLabelOpCount();
// The one Execute: address 0x38, command 0, byte read, PEC off, *Length 1,
// byte 0 on entry, at TPL_NOTIFY. Checks one-device-read, address-0x38,
// command-0, read-byte, pec-off, length-1, buffer-zeroed, read-at-tpl-notify.
VOID CheckExpanderRead(const Section &Sec);
// The eight labels from bit 0 of Inputs, each once, at TPL_NOTIFY on the
// form "Setup". Checks labels, labels-at-tpl-notify-on-setup.
VOID CheckExpanderLabels(const Section &Sec, UINT8 Inputs);
