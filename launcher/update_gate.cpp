// The update gate of launch mode. Placeholder until the gate is built: it
// returns at once.
#include "rookmini.h"

void RunUpdateGate(DWORD)
{
}
