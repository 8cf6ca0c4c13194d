#pragma once

// Watches the transfer worker's own system calls around the FTP passive
// command, to show the wait that follows it without timing anything.
//
// Linked into a program (or preloaded, as libharlune_worker_probe.so) it
// wraps send, SSL_write, poll and connect. A thread that sends "EPSV" (in
// clear or through TLS) can be held back for a while right after it, as a
// busy machine would hold it, so that the reply is in before the sender
// looks. Until the same thread next opens a connection (the data
// connection), every wait that ends with nothing to read is counted: the
// client slept on a timer although the reply was there.
//
// Preloaded, HARLUNE_PROBE_EPSV_DELAY_MS sets the hold and, when
// HARLUNE_PROBE_REPORT names a file, "epsv N blind_waits M" is appended to
// it at exit.
namespace WorkerProbe {

void setDelayAfterEpsv(int ms);
void reset();
int epsvSent();
int blindWaits();

} // namespace WorkerProbe
