// The scenarios' DXE side. Each QEMU run picks one by name.
#include "DispatchScenarios.h"
#include "DispatchBoot.h"

namespace {

// Root ports 00:1C.0 and 00:1D.0; the option-ROM rows 0, 3 and 5 enabled
// (one with a high-bit value: any non-zero counts), rows 6 and 9 enabled
// but text-less.
constexpr PcdValue BoardPcd[] = {
    {630, 0x00E0}, {631, 0x00E8},
    {660, 1}, {661, 0}, {662, 0}, {663, 1}, {664, 0}, {665, 0x80000000}, {666, 1},
    {667, 0}, {668, 0}, {655, 1}, {656, 0}, {657, 0}, {658, 0}, {659, 0},
};
// Other root ports; rows 1, 3 and 4 enabled; the rest not listed (read 0).
constexpr PcdValue PlainPcd[] = {{630, 0x00F0}, {631, 0x00F8}, {661, 1}, {663, 2}, {664, 1}};

template <UINTN N>
constexpr UINTN CountOf(const PcdValue (&)[N]) {
  return N;
}

using Bench::ScenarioId;

// Super I/O settings: 2 and 6 enable both devices; 4 does not enable
// device 2, 3 enables device 3.
constexpr DxeScenario Scenarios[] = {
    // scenario                    riser  flag  PCD                           Setup  dev2 dev3  SMBus first, inputs
    {ScenarioId::Board,             true,  1,    BoardPcd, CountOf(BoardPcd),  true,  2,   6,    true,  0xA5},
    {ScenarioId::Plain,             false, 0,    PlainPcd, CountOf(PlainPcd),  false, 0,   0,    false, 0x5A},
    // The SMM side lacks the platform service; on the DXE side a riser HOB
    // whose flag is clear (the plain texts) and other Super I/O settings.
    {ScenarioId::NoPlatformService, true,  0,    BoardPcd, CountOf(BoardPcd),  true,  4,   3,    true,  0x3C},
    // The board on a firmware without SMM: the DXE side as on the board.
    {ScenarioId::NoSmm,             true,  1,    BoardPcd, CountOf(BoardPcd),  true,  2,   6,    true,  0xA5},
};

// Every scenario of the build's list has exactly one row here.
constexpr bool OneRowEach() {
  for (const Bench::Scenario &B : Bench::Scenarios) {
    UINTN Rows = 0;
    for (const DxeScenario &S : Scenarios) {
      Rows += S.Id == B.Id ? 1 : 0;
    }
    if (Rows != 1) {
      return false;
    }
  }
  return sizeof(Scenarios) / sizeof(Scenarios[0]) ==
         sizeof(Bench::Scenarios) / sizeof(Bench::Scenarios[0]);
}
static_assert(OneRowEach(), "each scenario of BENCH_SCENARIOS needs one row here");

}  // namespace

const DxeScenario *FindDxeScenario(const CHAR8 *Name) {
  const Bench::Scenario *Known = DispatchBoot::FindScenario(Name);
  for (const DxeScenario &S : Scenarios) {
    if (Known != nullptr && S.Id == Known->Id) {
      return &S;
    }
  }
  return nullptr;
}

const CHAR8 *ScenarioName(CHAR8 *Out) {
  if (ReadFwCfgText(DispatchBoot::ScenarioFile, Out, DispatchBoot::MaxScenarioName + 1) != 0) {
    return Out;
  }
  const CHAR8 *D = DispatchBoot::DefaultScenario;
  UINTN I = 0;
  for (; D[I] != 0 && I < DispatchBoot::MaxScenarioName; ++I) {
    Out[I] = D[I];
  }
  Out[I] = 0;
  return Out;
}
