// BoardNicInfoProtocol, LoadImage run: a fresh copy of the driver, our root
// ports in the PCD stand-in (the checks: NicChecks.h).
#include "DriverUnderTest.h"
#include "NicChecks.h"
#include "StandIns.h"

namespace {

// Root ports above the two controllers: 00:1C.0 and 00:1D.0.
constexpr PcdValue RootPorts[] = {{630, 0x00E0}, {631, 0x00E8}};

}  // namespace

VOID NicProtocolScenario() {
  LoadedDriver Driver;
  if (!LoadAndStart("BoardSetupDxe", &Driver)) {
    return;
  }
  const BOARD_NIC_INFO_PROTOCOL *Nic = CheckNicPublished(Driver.ImageHandle, Driver.Range());
  if (Nic == nullptr ||
      !PcdStandIn::Install(RootPorts, sizeof(RootPorts) / sizeof(RootPorts[0]))) {
    return;
  }
  CheckNicMacRead(Nic);
  PcdStandIn::Restore();
}
