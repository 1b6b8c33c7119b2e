#pragma once

// Makes stdout reach the terminal the program was started from. A Windows window program
// has no console of its own, so "--help" typed in one would print nothing; a Linux program
// writes to its terminal anyway.
void useParentConsole();
