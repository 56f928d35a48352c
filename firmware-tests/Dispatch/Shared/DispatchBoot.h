// Test bench only: the names the dispatch boot's pieces share (the DXE
// stand-in driver, the application, the host runner run-dispatch.sh). None
// of this exists on a board.
#pragma once

#include "Uefi/Base.h"

namespace DispatchBoot {

// ---- The log --------------------------------------------------------------
// Every line of the boot (stand-ins and application, before and after
// ExitBootServices) is text on an isa-debugcon at this port, one line per
// check: "PASS name", "FAIL name: detail", "INFO section: text",
// "PHASE name" (where the boot is; the host splits the port trace there),
// "DONE n passed, m failed". A release OVMF writes nothing here.
inline constexpr UINT16 LogPort = 0x402;

// The phase the application marks before it hands over to the SMM part:
// Super I/O traffic before it is the DXE driver's.
inline constexpr CHAR8 SmmPhase[] = "smm";

// ---- The scenario ---------------------------------------------------------
// `-fw_cfg name=opt/board-tests/dispatch,string=<scenario>`; without it the
// boot plays "board" (a boot by hand).
inline constexpr CHAR8 ScenarioFile[] = "opt/board-tests/dispatch";
inline constexpr CHAR8 DefaultScenario[] = "board";
inline constexpr UINTN MaxScenarioName = 31;

// ---- The firmware files ---------------------------------------------------
// FILE GUIDs in the firmware volume (the product's are the kit's, see
// kit/CMakeLists.txt; the stand-ins' are the bench's).
inline constexpr EFI_GUID BoardSetupDxeFile = {
    0x762D5AA7, 0xB660, 0x4D99, {0xBC, 0xB4, 0x4F, 0xE9, 0x08, 0xBD, 0xD6, 0x48}};
inline constexpr EFI_GUID UsbSupportS5SmmFile = {
    0xF2CC78C5, 0x671B, 0x46A1, {0xB1, 0xB6, 0xD5, 0xCF, 0x49, 0x61, 0xB1, 0x15}};
inline constexpr EFI_GUID DxeStandInFile = {
    0xFA95FA5D, 0x25A6, 0x4785, {0x9B, 0x2F, 0xE9, 0x76, 0x76, 0xC8, 0x57, 0x09}};
inline constexpr EFI_GUID SmmStandInFile = {
    0x691215A3, 0x5F23, 0x4460, {0x80, 0xC5, 0x97, 0x9C, 0xA9, 0xF3, 0xC5, 0x94}};

}  // namespace DispatchBoot
