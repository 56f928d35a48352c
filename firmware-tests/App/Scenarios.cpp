// Every scenario of the real-firmware run, in run order. A scenario is a
// function in the file of its concern plus one row here; the runner picks
// sets with --sets, and expected/<set>.checks lists the check names.
#include "TestApp.h"

const Scenario ScenarioTable[] = {
    {"board-setup", "nic", NicProtocolScenario},
    {"board-setup", "relabel", RelabelScenario},
    {"board-setup", "relabel-riser", RelabelRiserScenario},
    {"board-setup", "relabel-riser-flag-clear", RelabelRiserFlagClearScenario},
    {"sio", "sio", SuperIoScenario},
    {"sio", "sio-no-variable", SuperIoNoVariableScenario},
    {"smbios", "smbios-no-riser", SmbiosNoRiserScenario},
    {"smbios", "smbios-riser", SmbiosRiserScenario},
    {"expander", "expander-smbus-first", ExpanderSmbusFirstScenario},
    {"expander", "expander-strings-first", ExpanderStringsFirstScenario},
    {"smm", "smm-outside-smram", SmmDriverOutsideSmramScenario},
    {"smm-absent", "smm-without-smm", SmmDriverWithoutSmmScenario},
};
const UINTN ScenarioCount = sizeof(ScenarioTable) / sizeof(ScenarioTable[0]);
