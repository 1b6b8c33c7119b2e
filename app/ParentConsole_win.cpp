#include "app/ParentConsole.h"

#include <windows.h>

#include <cstdio>

// Started from Explorer there is no console to attach to, and nothing is printed: as for
// any window program.
void useParentConsole()
{
    if (AttachConsole(ATTACH_PARENT_PROCESS))
        std::freopen("CONOUT$", "w", stdout);
}
