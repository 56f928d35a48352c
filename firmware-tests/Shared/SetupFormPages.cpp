// The stand-in's Setup pages: every string ID the board's driver hides or
// writes, on the page it belongs to, with a generic text of our own. Rows
// are placed so that each page fits one screen of the form browser.
#include "SetupForm.h"

namespace {

// A text line whose prompt is a board ID.
constexpr FormItem Row(UINT16 Id, const CHAR8 *Text) { return {Id, Text, 0, nullptr, false}; }
// A subtitle: a board ID, or 0 for a heading of the stand-in's own.
constexpr FormItem Heading(UINT16 Id, const CHAR8 *Text) { return {Id, Text, 0, nullptr, true}; }

constexpr FormItem Sensors[] = {
    Heading(0, "Temperatures"),
    Row(0x21DD, "Sensor 1 Temperature"), Row(0x21DF, "Sensor 2 Temperature"),
    Row(0x21E1, "Sensor 3 Temperature"), Row(0x21E3, "Sensor 4 Temperature"),
    Row(0x21E5, "Sensor 5 Temperature"),
    Heading(0, "Fans"),
    Row(0x21F1, "Fan 1 Speed"), Row(0x21F3, "Fan 2 Speed"), Row(0x21F5, "Fan 3 Speed"),
    Row(0x21F7, "Fan 4 Speed"), Row(0x21F9, "Fan 5 Speed"),
};

constexpr FormItem Voltages[] = {
    Row(0x009B, "Voltage Input 1"),  Row(0x2205, "Voltage Input 2"),
    Row(0x2207, "Voltage Input 3"),  Row(0x2209, "Voltage Input 4"),
    Row(0x220B, "Voltage Input 5"),  Row(0x220D, "Voltage Input 6"),
    Row(0x220F, "Voltage Input 7"),  Row(0x2211, "Voltage Input 8"),
    Row(0x2213, "Voltage Input 9"),  Row(0x009D, "Voltage Input 10"),
    Row(0x221B, "Voltage Input 11"), Row(0x221F, "Voltage Input 12"),
    Row(0x009F, "Voltage Input 13"), Row(0x0192, "Voltage Input 14"),
    Row(0x2219, "Voltage Input 15"), Row(0x0194, "Voltage Input 16"),
};

constexpr FormItem SerialOverLan[] = {
    Heading(0x2306, "Serial Port 2"),
    Row(0x22EE, "Console Redirection"), Row(0x2311, "Terminal Type"),
    Row(0x2325, "Bits per second"),     Row(0x2336, "Data Bits"),
    Row(0x2346, "Parity"),              Row(0x235A, "Stop Bits"),
    Row(0x236A, "Flow Control"),        Row(0x2394, "VT-UTF8 Combo Key Support"),
    Row(0x23A3, "Recorder Mode"),       Row(0x2381, "Resolution 100x31"),
    Row(0x23B5, "Putty KeyPad"),        Row(0x23DA, "Legacy OS Resolution"),
    Row(0x23E1, "Redirection After POST"),
};

constexpr FormItem SlotsA[] = {
    Row(0x27A1, "Root Port 1"), Row(0x27A2, "Root Port 2"), Row(0x27A3, "Root Port 3"),
    Row(0x106A, "Root Port Option A"), Row(0x101A, "Root Port Option B"),
    Heading(0x17D0, "Root Port 4"),
    Heading(0x17BF, "Root Port 5"),
    Row(0x13AE, "Port 5 ASPM"), Row(0x13CA, "Port 5 L1 Substates"),
    Row(0x147B, "Port 5 Link Speed"), Row(0x15DF, "Port 5 Peer Memory Write"),
};

constexpr FormItem SlotsB[] = {
    Heading(0x17C3, "Root Port 6"),
    Row(0x13B2, "Port 6 ASPM"), Row(0x13CE, "Port 6 L1 Substates"),
    Row(0x147F, "Port 6 Link Speed"), Row(0x15E3, "Port 6 Peer Memory Write"),
    Heading(0x17D3, "Root Port 7"),
    Row(0x13C2, "Port 7 ASPM"), Row(0x13DE, "Port 7 L1 Substates"),
    Row(0x148F, "Port 7 Link Speed"), Row(0x15F3, "Port 7 Peer Memory Write"),
    Heading(0x17D7, "Root Port 8"),
    Row(0x13C6, "Port 8 ASPM"), Row(0x13E2, "Port 8 L1 Substates"),
    Row(0x1493, "Port 8 Link Speed"), Row(0x15F7, "Port 8 Peer Memory Write"),
};

// Each option-ROM option with its help text as the right-hand text, so the
// picture shows both.
constexpr FormItem Oprom(UINT16 Id, const CHAR8 *Prompt, const CHAR8 *Help) {
  return {Id, Prompt, static_cast<UINT16>(Id + 1), Help, false};
}
constexpr FormItem OptionRoms[] = {
    Oprom(0x26AA, "Slot 1 Option ROM", "Slot 1 option."),
    Oprom(0x26AC, "Slot 2 Option ROM", "Slot 2 option."),
    Oprom(0x26AE, "Slot 3 Option ROM", "Slot 3 option."),
    Oprom(0x26B0, "Slot 4 Option ROM", "Slot 4 option."),
    Oprom(0x26B2, "Slot 5 Option ROM", "Slot 5 option."),
    Oprom(0x26B4, "Slot 6 Option ROM", "Slot 6 option."),
    Oprom(0x26B6, "Slot 7 Option ROM", "Slot 7 option."),
    Oprom(0x26B8, "Slot 8 Option ROM", "Slot 8 option."),
    Oprom(0x26BA, "Slot 9 Option ROM", "Slot 9 option."),
    Oprom(0x26BC, "Slot 10 Option ROM", "Slot 10 option."),
    Oprom(0x26BE, "Slot 11 Option ROM", "Slot 11 option."),
    Oprom(0x26C0, "Slot 12 Option ROM", "Slot 12 option."),
    Oprom(0x26C2, "Slot 13 Option ROM", "Slot 13 option."),
    Oprom(0x26C4, "Slot 14 Option ROM", "Slot 14 option."),
    Row(0x26C9, "Slot 15 Option ROM"), Row(0x26CB, "Slot 16 Option ROM"),
    Row(0x26CD, "Slot 17 Option ROM"), Row(0x26CF, "Slot 18 Option ROM"),
};

// The expander's eight inputs: prompts of our own, the state the board's
// driver writes as the right-hand text.
constexpr FormItem Input(UINT16 Id, const CHAR8 *Prompt, const CHAR8 *State) {
  return {0, Prompt, Id, State, false};
}
constexpr FormItem Presence[] = {
    Input(0x27BE, "Presence Input 0", "Input 0 State"),
    Input(0x27BF, "Presence Input 1", "Input 1 State"),
    Input(0x27C0, "Presence Input 2", "Input 2 State"),
    Input(0x27C1, "Presence Input 3", "Input 3 State"),
    Input(0x27C2, "Presence Input 4", "Input 4 State"),
    Input(0x27C3, "Presence Input 5", "Input 5 State"),
    Input(0x27C4, "Presence Input 6", "Input 6 State"),
    Input(0x27C5, "Presence Input 7", "Input 7 State"),
};

template <UINTN N>
constexpr FormPage Page(const CHAR8 *Name, const CHAR8 *Title, const FormItem (&Items)[N]) {
  return {Name, Title, Items, N};
}

}  // namespace

const FormPage SetupFormPages[] = {
    Page("sensors", "Hardware Monitor", Sensors),
    Page("voltages", "Hardware Monitor: Voltages", Voltages),
    Page("sol", "Serial-over-LAN Console Redirection", SerialOverLan),
    Page("slots", "PCIe Slots", SlotsA),
    Page("slots-more", "PCIe Slots (continued)", SlotsB),
    Page("oprom", "Option ROMs", OptionRoms),
    Page("expander", "Expander Presence Inputs", Presence),
};
const UINTN SetupFormPageCount = sizeof(SetupFormPages) / sizeof(SetupFormPages[0]);
