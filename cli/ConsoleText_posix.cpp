#include "ConsoleText.h"

void UseUtf8Console() {}
