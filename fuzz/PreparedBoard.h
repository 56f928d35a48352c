// A simulated board prepared once and reused input after input. Building one
// (SMRAM, the protocol database, the driver's entry) costs many times the
// driver call a target fuzzes, and under ASan each board's SMRAM is a fresh
// mapping of its own. Each target sets back, before every input, everything
// the driver can see that an input changes, so an input does what it does
// on a new board. A new board every RunsPerBoard inputs keeps the models'
// logs short: the driver's calls search them (at 4,096 inputs a board, the
// event list's searches were a third of an input's time).
#pragma once

#include <memory>
#include <new>

#include "Simulator/Platform.h"

namespace FuzzBoard {

constexpr unsigned RunsPerBoard = 256;

// Prepare(Sim::Platform &) readies each new board (the driver's entry, the
// protocols it finds); returns the board for this input.
template <typename PrepareFn>
Sim::Platform &Prepared(PrepareFn Prepare) {
  static std::unique_ptr<Sim::Platform> Board;
  static unsigned Runs = 0;
  if (Board == nullptr || ++Runs % RunsPerBoard == 0) {
    Board.reset();  // platforms nest: the old one stops being current first
    Board = std::make_unique<Sim::Platform>();
    Prepare(*Board);
  }
  return *Board;
}

// A fault on the next call of Service (the injector counts calls from the
// board's start).
inline void FailNextCall(Sim::Platform &P, const char *Service, EFI_STATUS Status) {
  P.Faults.Fail(Service, P.Faults.Calls(Service) + 1, Status);
}

// A model that hands out pointers into itself (and so has no assignment)
// made new in place: the board's tables keep pointing at it.
template <typename Model>
void Renew(Model &M) {
  M.~Model();
  new (&M) Model();
}

}  // namespace FuzzBoard
