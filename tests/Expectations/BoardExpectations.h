// What the board's Setup form must end up saying, written out here from the
// board documentation rather than taken from the driver's own tables, so a
// wrong table entry fails on the firmware as well as a wrong table slot.
#pragma once

#include "Uefi/Base.h"

namespace Expect {

inline constexpr CHAR8 FormName[] = "Setup";

inline constexpr UINT16 Hidden[] = {
    0x26C9, 0x26CB, 0x26CD, 0x26CF, 0x26B6, 0x26B8, 0x26BA, 0x26BC, 0x26BE, 0x2207, 0x2209,
    0x220B, 0x220D, 0x220F, 0x2211, 0x2213, 0x21F9, 0x27A3, 0x106A, 0x101A, 0x17D0,
};
inline constexpr UINTN HiddenCount = sizeof(Hidden) / sizeof(Hidden[0]);

struct OpromRow {
  UINT16 Token;
  UINT16 PromptId;
  UINT16 HelpId;
  const CHAR8 *Prompt;  // NULL: nothing is ever written for the row
  const CHAR8 *Help;
};

// Read in this order, one Get32 per row.
inline constexpr OpromRow Oprom[] = {
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
inline constexpr UINTN OpromRows = sizeof(Oprom) / sizeof(Oprom[0]);
inline constexpr UINTN RiserRow = 3;
inline constexpr CHAR8 RiserPrompt[] = "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM";
inline constexpr CHAR8 RiserHelp[] = "TRK-M-4H2 CPU SLOT7 PCI-E 5.0 X16 OPROM option";

// Each option's help text sits right after its prompt.
inline constexpr bool HelpFollowsPrompt() {
  for (const OpromRow &R : Oprom) {
    if (R.HelpId != R.PromptId + 1) {
      return false;
    }
  }
  return true;
}
static_assert(HelpFollowsPrompt());

struct Label {
  UINT16 Id;
  const CHAR8 *Text;
};

inline constexpr Label Labels[] = {
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
inline constexpr UINTN LabelCount = sizeof(Labels) / sizeof(Labels[0]);

static_assert(HiddenCount == 21 && OpromRows == 14 && LabelCount == 54);

// The SMBus expander's eight inputs, one label each, bit 0 first.
inline constexpr UINT16 ExpanderLabels[] = {0x27BE, 0x27BF, 0x27C0, 0x27C1,
                                            0x27C2, 0x27C3, 0x27C4, 0x27C5};
inline constexpr UINTN ExpanderLabelCount = sizeof(ExpanderLabels) / sizeof(ExpanderLabels[0]);
inline constexpr CHAR8 ExpanderHigh[] = "None or High";  // bit reads 1
inline constexpr CHAR8 ExpanderLow[] = "Low";            // bit reads 0
inline constexpr UINTN ExpanderAddress = 0x38;           // 7-bit, in a zeroed address word
static_assert(ExpanderLabelCount == 8);

inline constexpr bool IsExpanderLabel(UINT16 Id) {
  for (UINT16 L : ExpanderLabels) {
    if (L == Id) {
      return true;
    }
  }
  return false;
}

}  // namespace Expect
