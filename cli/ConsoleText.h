// Text for the console the client writes to.
#pragma once

// The client's texts are UTF-8, the system's error messages among them.
// A Windows console shows them as such only with its output code page set
// to UTF-8; this sets it for the program's run and puts the console's own
// back when the program exits (through main's return or exit()). Nothing
// to do on other systems.
void UseUtf8Console();
