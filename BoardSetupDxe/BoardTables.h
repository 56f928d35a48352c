// The board's Setup form customisation, as constant data: one row a line,
// in the order the board documentation lists them. The code that walks
// these tables stays a few lines.
#pragma once

#include "Uefi/Base.h"

inline constexpr CHAR8 SetupFormName[] = "Setup";

// Items withdrawn from the form, in order.
inline constexpr UINT16 SetupHideList[] = {
    0x26C9, 0x26CB, 0x26CD, 0x26CF, 0x26B6, 0x26B8, 0x26BA, 0x26BC, 0x26BE, 0x2207, 0x2209,
    0x220B, 0x220D, 0x220F, 0x2211, 0x2213, 0x21F9, 0x27A3, 0x106A, 0x101A, 0x17D0,
    0,  // terminator, not passed on
};

struct OpromSlotRow {
  UINT16 PcdToken;  // dynamic PCD, non-zero: the slot's option ROM option is shown
  UINT16 PromptId;
  UINT16 HelpId;
  const CHAR8 *Prompt;  // NULL: the PCD is read, nothing is written
  const CHAR8 *Help;
};

// Token numbers are not consecutive: rows 0-8 use 660-668, rows 9-13 655-659.
inline constexpr OpromSlotRow OpromSlotTable[] = {
    {660, 0x26AA, 0x26AB, "PCH SLOT4 PCI-E 3.0 X2 (IN X4) OPROM", "PCH SLOT4 PCI-E 3.0 X2 (IN X4) option."},
    {661, 0x26AC, 0x26AD, "PCH SLOT5 PCI-E 4.0 X4 (IN X8) OPROM", "PCH SLOT5 PCI-E 4.0 X4 (IN X8) option."},
    {662, 0x26AE, 0x26AF, "PCH SLOT6 PCI-E 3.0 X4 OPROM",         "PCH SLOT6 PCI-E 3.0 X4 OPROM option."},
    {663, 0x26B0, 0x26B1, "CPU SLOT7 PCI-E 5.0 X16 OPROM",        "CPU SLOT7 PCI-E 5.0 X16 OPROM option."},
    {664, 0x26B2, 0x26B3, "PCI-E M.2-C OPROM",                    "PCI-E M.2-C OPROM option."},
    {665, 0x26B4, 0x26B5, "SLIMSAS OPROM",                        "SLIMSAS OPROM option."},
    {666, 0x26B6, 0x26B7, nullptr, nullptr},
    {667, 0x26B8, 0x26B9, nullptr, nullptr},
    {668, 0x26BA, 0x26BB, nullptr, nullptr},
    {655, 0x26BC, 0x26BD, nullptr, nullptr},
    {656, 0x26BE, 0x26BF, nullptr, nullptr},
    {657, 0x26C0, 0x26C1, nullptr, nullptr},
    {658, 0x26C2, 0x26C3, nullptr, nullptr},
    {659, 0x26C4, 0x26C5, nullptr, nullptr},
};

// Row 3 (the CPU x16 slot) names the riser card when one is fitted. The help
// text has no final full stop, unlike the others.
inline constexpr UINTN OpromRiserRow = 3;
inline constexpr CHAR8 OpromRiserPrompt[] = "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM";
inline constexpr CHAR8 OpromRiserHelp[] = "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM option";

struct SetupLabelRow {
  UINT16 StringId;
  const CHAR8 *Label;
};

// Sensor labels (rows 0-17) begin with two spaces, which are part of the text.
inline constexpr SetupLabelRow SetupLabelTable[] = {
    {0x21DD, "  Peripheral Temperature"},
    {0x21DF, "  System Temperature"},
    {0x21E1, "  CPU Temperature"},
    {0x21E3, "  CPU core Temperature"},
    {0x21E5, "  PCH Temperature"},
    {0x21F1, "  FAN4"},
    {0x21F3, "  FAN1"},
    {0x21F5, "  FAN3"},
    {0x21F7, "  FAN2"},
    {0x009B, "  VCC12"},
    {0x2205, "  VCC5"},
    {0x009D, "  P_VCCCORE"},
    {0x221B, "  VCC3_ALW"},
    {0x221F, "  VBAT"},
    {0x009F, "  AVSB_SIO"},
    {0x0192, "  V1P8A"},
    {0x2219, "  VCC3_3"},
    {0x0194, "  V1P05A_CPU"},
    {0x2306, "AMT SOL"},
    {0x22EE, "AMT SOL Console Redirection"},
    {0x2311, "AMT SOL Terminal Type"},
    {0x2325, "AMT SOL Bits per second"},
    {0x2336, "AMT SOL Data Bits"},
    {0x2346, "AMT SOL Parity"},
    {0x235A, "AMT SOL Stop Bits"},
    {0x236A, "AMT SOL Flow Control"},
    {0x2394, "AMT SOL VT-UTF8 Combo Key Support"},
    {0x23A3, "AMT SOL Recorder Mode"},
    {0x2381, "AMT SOL Resolution 100x31"},
    {0x23B5, "AMT SOL Putty KeyPad"},
    {0x23DA, "AMT SOL Legacy OS Redirection Resolution"},
    {0x23E1, "AMT SOL Redirection After BIOS POST"},
    {0x27A1, "PCI-E M.2-C"},
    {0x27A2, "CPU SLOT7 PCI-E 5.0 X16"},
    {0x17BF, "PCH SLOT6 PCI-E 3.0 X4"},
    {0x13AE, "SLOT6 ASPM"},
    {0x13CA, "SLOT6 L1 Substates"},
    {0x147B, "SLOT6 PCIe Speed"},
    {0x15DF, "SLOT6 Peer Memory Write Enable"},
    {0x17C3, "PCH SLOT4 PCI-E 3.0 X2(IN X4)"},
    {0x13B2, "SLOT4 ASPM"},
    {0x13CE, "SLOT4 L1 Substates"},
    {0x147F, "SLOT4 PCIe Speed"},
    {0x15E3, "SLOT4 Peer Memory Write Enable"},
    {0x17D3, "PCH SLOT5 PCI-E 4.0 X4(IN X8)"},
    {0x13C2, "SLOT5 ASPM"},
    {0x13DE, "SLOT5 L1 Substates"},
    {0x148F, "SLOT5 PCIe Speed"},
    {0x15F3, "SLOT5 Peer Memory Write Enable"},
    {0x17D7, "SLIMSAS"},
    {0x13C6, "SLIMSAS ASPM"},
    {0x13E2, "SLIMSAS L1 Substates"},
    {0x1493, "SLIMSAS PCIe Speed"},
    {0x15F7, "SLIMSAS Peer Memory Write Enable"},
};

static_assert(sizeof(SetupHideList) / sizeof(SetupHideList[0]) == 21 + 1);
static_assert(sizeof(OpromSlotTable) / sizeof(OpromSlotTable[0]) == 14);
static_assert(sizeof(SetupLabelTable) / sizeof(SetupLabelTable[0]) == 54);

// Presence inputs of the SMBus I/O expander, one label per bit of the byte
// it reports, bit 0 first.
inline constexpr UINT16 ExpanderPresenceLabels[] = {
    0x27BE,  // bit 0
    0x27BF,  // bit 1
    0x27C0,  // bit 2
    0x27C1,  // bit 3
    0x27C2,  // bit 4
    0x27C3,  // bit 5
    0x27C4,  // bit 6
    0x27C5,  // bit 7
};
inline constexpr CHAR8 ExpanderInputHigh[] = "None or High";  // bit reads 1
inline constexpr CHAR8 ExpanderInputLow[] = "Low";            // bit reads 0

static_assert(sizeof(ExpanderPresenceLabels) / sizeof(ExpanderPresenceLabels[0]) == 8);
