// Install mode. Placeholder until the download is built: it returns at once.
#include "rookmini.h"

void RunInstallMode()
{
}
