#pragma once

#include "console.h"

namespace tamber {

// The whole program: starts the socket library, runs one command and maps every failure to
// one "error: " line; returns the exit status (0 done, 1 failed, 2 usage).
int run(int argc, NativeChar** argv);

}  // namespace tamber
