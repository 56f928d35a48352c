#include "BoardSetupFixture.h"
TEST_F(BoardBoot, Smoke) { LoadDriver(); }
