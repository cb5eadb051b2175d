// The .NET Framework and operating-system gate, the first start-up gate.
#pragma once

#include "base/rookmini.h"

// Reads the framework's setup keys and, when no usable framework is found,
// asks whether to install one and leads the way there. True lets start-up
// continue, false stops it.
bool CheckDotNetPrerequisite();
