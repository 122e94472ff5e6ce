// "gatesim attack": the command line of the attack runner (TAttackClients).
#pragma once

namespace gw {

// Argv[1] is "attack". Returns the process exit code.
int AttackMain(int Argc, char** Argv);

}  // namespace gw
