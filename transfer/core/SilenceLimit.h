#pragma once

#include "PublishJob.h"

#include <chrono>

// The longest a copy can stay unchanged while the publish that made it may
// still check or rename it: every step's waits after the store
// (StepWaitsAfterStore), each reply within the reply limit (or the stall
// limit), each fresh log-in within the connect limit, and the settling of a
// closed window within the clean-up limit. A copy unchanged for longer
// belongs to a publish that has ended. Never shorter than with the
// program's default limits, so that a run with shorter limits still leaves
// a run with the defaults alone.
std::chrono::seconds LongestSilence(const TransferTimeouts& timeouts);
