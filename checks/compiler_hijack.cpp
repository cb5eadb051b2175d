// The csc.exe Image File Execution Options gate. Placeholder until the gate
// is built: it lets start-up continue.
#include "../launcher/rookmini.h"

bool CheckCompilerHijack()
{
    return true;
}
