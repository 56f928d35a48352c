// The stand-ins' logs and their readers. The stand-ins write through the
// same pointers, so an image that only reads (the application) points them
// at another image's logs and reads those.
#include "StandIns.h"

namespace {

SetupStringLog gOwnSetupStrings;
PcdLog gOwnPcd;
SmbusLog gOwnSmbus;

SetupStringLog *gSetupStrings = &gOwnSetupStrings;
PcdLog *gPcd = &gOwnPcd;
SmbusLog *gSmbus = &gOwnSmbus;

}  // namespace

namespace StandInLogs {

SetupStringLog *SetupStrings() { return gSetupStrings; }
PcdLog *Pcd() { return gPcd; }
SmbusLog *Smbus() { return gSmbus; }

VOID Use(SetupStringLog *Strings, PcdLog *Pcd, SmbusLog *Smbus) {
  gSetupStrings = Strings;
  gPcd = Pcd;
  gSmbus = Smbus;
}

}  // namespace StandInLogs

namespace SetupStringStandIn {

UINTN Count() { return gSetupStrings->Count; }
const SetupStringOp &Op(UINTN Index) {
  return gSetupStrings->Ops[Index < SetupStringLog::MaxOps ? Index : SetupStringLog::MaxOps - 1];
}
bool Overflowed() { return gSetupStrings->Overflow; }
UINTN FirmwareCalls() { return gSetupStrings->FirmwareCalls; }

}  // namespace SetupStringStandIn

namespace PcdStandIn {

UINTN Reads() { return gPcd->Reads; }
UINTN ReadToken(UINTN Index) {
  return Index < PcdLog::MaxReads && Index < gPcd->Reads ? gPcd->Tokens[Index] : 0;
}

}  // namespace PcdStandIn

namespace SmbusStandIn {

UINTN Count() { return gSmbus->Count; }
const SmbusCall &Call(UINTN Index) {
  return gSmbus->Calls[Index < SmbusLog::MaxCalls ? Index : SmbusLog::MaxCalls - 1];
}
UINTN FirmwareCalls() { return gSmbus->FirmwareCalls; }

}  // namespace SmbusStandIn
