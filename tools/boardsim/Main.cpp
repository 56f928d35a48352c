// boardsim: boot the simulated board with the real driver sources and print
// what the drivers did.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "BootReport.h"

namespace {

int Usage(const char *Why) {
  std::cerr << "boardsim: " << Why << "\n"
            << "usage: boardsim [--riser] [--no-pcd] [--no-nics] [--pcd TOKEN=VALUE[,...]]\n"
            << BoardSetupOptionsUsage;
  return 2;
}

bool ParsePcd(const std::string &List, BootScenario &S) {
  size_t Pos = 0;
  while (Pos <= List.size()) {
    const size_t Comma = List.find(',', Pos);
    const std::string Item = List.substr(Pos, Comma == std::string::npos ? std::string::npos : Comma - Pos);
    const size_t Eq = Item.find('=');
    if (Eq == std::string::npos || Eq == 0 || Eq + 1 == Item.size()) {
      return false;
    }
    char *End = nullptr;
    const unsigned long Token = std::strtoul(Item.c_str(), &End, 0);
    if (End != Item.c_str() + Eq) {
      return false;
    }
    const unsigned long Value = std::strtoul(Item.c_str() + Eq + 1, &End, 0);
    if (*End != '\0' || Value > 0xFFFFFFFFul) {
      return false;
    }
    S.Pcd[Token] = static_cast<UINT32>(Value);
    if (Comma == std::string::npos) {
      break;
    }
    Pos = Comma + 1;
  }
  return true;
}

}  // namespace

int main(int Argc, char **Argv) {
  BootScenario S;
  // A typical board: every option-ROM slot enabled, NIC root ports at 00:1C.0 and 00:1C.4.
  for (UINTN Token = 655; Token <= 668; ++Token) {
    S.Pcd[Token] = 1;
  }
  for (int I = 1; I < Argc; ++I) {
    std::string Why;
    if (const int Board = ParseBoardSetupOption(Argc, Argv, I, S, Why)) {
      if (Board < 0) {
        return Usage(Why.c_str());
      }
      continue;
    }
    const std::string A = Argv[I];
    if (A == "--riser") {
      S.Riser = true;
    } else if (A == "--no-pcd") {
      S.PcdPresent = false;
    } else if (A == "--no-nics") {
      S.NicsPresent = false;
    } else if (A == "--pcd") {
      if (I + 1 >= Argc || !ParsePcd(Argv[++I], S)) {
        return Usage("--pcd wants TOKEN=VALUE[,TOKEN=VALUE...]");
      }
    } else if (A == "--help" || A == "-h") {
      Usage("boots the simulated board and prints the boot report");
      return 0;
    } else {
      return Usage(("unknown argument: " + A).c_str());
    }
  }
  return RunBootReport(S, std::cout) == 0 ? 0 : 1;
}
