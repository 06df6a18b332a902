// The desktop shell's entry point, exported by talvex-shell-qt.so.
#pragma once

#include "app/shell_abi.h"

extern "C" __attribute__((visibility("default"))) int talvex_shell_main(TalvexShellHost* host);
