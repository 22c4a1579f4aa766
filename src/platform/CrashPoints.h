#pragma once

// Named points where tests make the program die on purpose, to prove that the
// state a crash leaves is recovered. Set BRISLE_CRASH_AT=<name> to use one;
// without it a crash point costs one cached lookup.
void crashPoint(const char* name);
