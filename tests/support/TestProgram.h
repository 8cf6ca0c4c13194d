#pragma once

// The program's global set-up, as main does it, for a test program: called
// first, from initTestCase or main. Doing it twice does no harm.
void SetUpTestProgram();
