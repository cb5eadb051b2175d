// The .NET Framework and operating-system gate. Placeholder until the gate
// is built: it lets start-up continue.
#include "../launcher/rookmini.h"

bool CheckDotNetPrerequisite()
{
    return true;
}
