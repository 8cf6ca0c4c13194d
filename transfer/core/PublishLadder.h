#pragma once

#include "PublishJob.h"
#include "PublishSession.h"

#include <array>
#include <atomic>
#include <functional>
#include <iterator>
#include <memory>

// Every state a publish passes through, and so every place it can end:
// the local file and the host's turn, the session, the steps on it in the
// order they come where nothing goes wrong, and the runs again on a fresh
// session. Each runs in a function of its own that returns the next; the
// names are what the trace says, and the README's table follows them.
enum class PublishStep {
    OpenFile,             // the local file, once for every run of the publish
    TakeTurn,             // one publish per host at a time: waits for the one before
    OpenSession,          // the session held for the destination, or a fresh one
    StatList,             // the list's status; the copy and the folder's listing opened meanwhile
    FollowSymlinks,       // a symlink: on to the file it leads to
    PutBackOwedList,      // the list is missing: a whole copy a broken connection kept goes there first
    StoreCopy,            // the bytes under the safest name the server takes, and their size checked
    MatchFile,            // the copy gets the file's permissions
    PutInPlace,           // the rename onto the list
    ReplaceAfterRemoval,  // the server renames only onto a free name: the list removed first
    FinishOnFreshSession, // the connection broke, or the window closed, after that removal
    StoreInPlace,         // fall back: the bytes over the file in place, as a plain store does
    ClearCopies,          // the list is in place: copies left in its folder go
    CleanUp,              // the publish's own copies go, or are owed to the next publish
    RunAgainFresh,        // the held session had ended or cannot carry it: again on a fresh one
    RunAgainUncapped,     // the server refuses TLS 1.2: again on a fresh session without the cap
    // A bare host's TLS, tried in turn around the states above by the
    // engine that speaks it:
    TlsUnverified,        // the certificate could not be verified: again, accepting it
    TlsClear,             // TLS broke with a server that never took it: once more in clear text
    End,
};

inline constexpr const char* PublishStepNames[] = {
    "open the local file",
    "take the host's turn",
    "open a session",
    "ask the list's status",
    "follow symlinks",
    "put back an owed list",
    "store the copy",
    "make it match",
    "put it in place",
    "replace after removal",
    "finish on a fresh session",
    "store in place",
    "clear copies",
    "clean up",
    "run again on a fresh session",
    "run again without the TLS 1.2 cap",
    "again accepting the certificate",
    "again in clear text",
    "end",
};
static_assert(std::size(PublishStepNames) == static_cast<size_t>(PublishStep::End) + 1);

inline const char* NameOf(PublishStep step) {
    return PublishStepNames[static_cast<size_t>(step)];
}

// A session to publish `job` on, whose requests end once `abort` is set:
// `fresh` asks for one of its own, never the one held for the destination.
// Null where none can be made.
using SessionOpener = std::function<std::unique_ptr<PublishSession>(
    bool fresh, const PublishJob& job, const std::atomic<bool>& abort)>;

// How often a rename refused once the list was removed is tried again: it
// is another publisher's file landing there first.
inline constexpr int AnotherPublisherFirstTries = 3;

// What each step may wait for once the copy is written and its publish may
// still rename it: replies (PublishSession::Replies) and fresh log-ins. A
// copy stays unchanged that long while it is live; the silence limit
// (LongestSilence) adds these up along the longest path.
struct StepWaits {
    int replies = 0;
    int logIns = 0;
};
using R = PublishSession::Replies;
inline constexpr StepWaits StepWaitsAfterStore[] = {
    {}, // open the local file: before the store
    {}, // take the host's turn: before the store
    {}, // open a session: before the store
    {}, // ask the list's status: before the store
    {}, // follow symlinks: before the store
    {}, // put back an owed list: before the store
    {R::Store, 0},
    {R::SetMode, 0},
    // the rename, and where it is refused, the copy's status
    {R::Rename + R::Stat, 0},
    // each try: the removal and the rename, and the copy's status
    {AnotherPublisherFirstTries * (R::RemoveThenRename + R::Stat), 0},
    // a log-in, the copy's and the list's status, a rename, then the
    // removal and the rename
    {2 * R::Stat + R::Rename + R::RemoveThenRename, 1},
    {R::Store, 0}, // store in place: the copy may hold the list meanwhile
    {}, // clear copies: the copy is in place
    {}, // clean up: the copy goes
    {}, // run again: nothing went out
    {}, // run again without the cap: nothing went out
    {}, // TLS attempts: each a publish of its own
    {},
    {}, // end
};
static_assert(std::size(StepWaitsAfterStore) == std::size(PublishStepNames),
              "every step says how long it may keep a copy waiting");

// The silence limit's parts: every step's waits after the store added up,
// which no one path exceeds.
constexpr StepWaits LongestPathWaits() {
    StepWaits all;
    for (const StepWaits& w : StepWaitsAfterStore) {
        all.replies += w.replies;
        all.logIns += w.logIns;
    }
    return all;
}

// Stores one local file on a server, over any engine's session, so that the
// final name only ever holds a complete copy: the bytes go to a temporary
// name beside it, their size is checked where the server tells it, and a
// rename puts them in place. Runs on the session `open` gives, and holds it
// for the next publish where it worked. Blocks until done; `abort` ends it
// early. Returns a response code (ResponseCodes.h).
qint32 PublishOver(const PublishJob& job, const std::atomic<bool>& abort,
                   const SessionOpener& open);
