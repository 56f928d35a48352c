// BoardNicInfoProtocol checks. QEMU has no onboard controller (no device
// 0x15F28086).
#pragma once

#include "BoardNicInfoProtocol.h"
#include "Caller.h"
#include "TestApp.h"

// Published on a handle of its own (not the driver's image handle), found
// by LocateProtocol, with the interface record as published. NULL when not.
// Checks protocol-located, own-handle, interface-record, slot0-false.
const BOARD_NIC_INFO_PROTOCOL *CheckNicPublished(const Section &Sec, EFI_HANDLE ImageHandle,
                                                 const ImageRange &Driver);
// GetNicMacAddresses with no controller: EFI_SUCCESS, both counts 0, the
// caller's bytes untouched, the root ports read from tokens 630 and 631.
// Checks get-mac-status, first-count-zero, second-count-zero,
// caller-bytes-untouched, mac-bytes-untouched, root-ports-from-pcd.
VOID CheckNicMacRead(const Section &Sec, const BOARD_NIC_INFO_PROTOCOL *Nic);
