#include "app/ParentConsole.h"

void useParentConsole()
{
}
