#include "TestProgram.h"

#include "TransferRuntime.h"

void SetUpTestProgram() {
    // As main() holds it, for the whole of the test program's run.
    static const TransferRuntime::Guard runtime;
}
