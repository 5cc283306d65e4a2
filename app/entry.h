// The program's start-up sequence and message loop.
#pragma once

// Runs QIV: returns 0 after a normal end of the message loop, -1 when
// start-up fails or another instance of the same product and mode runs.
int QivMain(int argc, char** argv);
