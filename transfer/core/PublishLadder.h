#pragma once

#include "PublishJob.h"
#include "PublishSession.h"

#include <array>
#include <atomic>
#include <functional>
#include <iterator>
#include <memory>

// The steps of one publish, in the order they come where nothing goes
// wrong; each runs in a function of its own that returns the next. The
// names are what the trace says.
enum class PublishStep {
    LookAtList,           // what the name is; the copy and the folder's listing opened meanwhile
    FollowLinks,          // a link: on to the file it leads to
    PutBackOwedList,      // the list is missing: a whole copy a broken link kept goes there first
    StoreCopy,            // the bytes under the safest name the server takes, and their size checked
    MatchFile,            // the copy gets the file's permissions
    PutInPlace,           // the rename onto the list
    ReplaceAfterRemoval,  // the server renames only onto a free name: the list removed first
    FinishOnFreshSession, // the link broke after that removal
    StoreInPlace,         // fall back: the bytes over the file in place, as a plain store does
    ClearCopies,          // the list is in place: copies left in its folder go
    CleanUp,              // failed: the publish's own copy goes, or is owed to the next
    End,
};

inline constexpr const char* PublishStepNames[] = {
    "look at the list", "follow links",      "put back an owed list",
    "store the copy",   "make it match",     "put it in place",
    "replace after removal", "finish on a fresh session", "store in place",
    "clear copies",     "clean up",          "end",
};
static_assert(std::size(PublishStepNames) == static_cast<size_t>(PublishStep::End) + 1);

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
    {}, // look at the list: before the store
    {}, // follow links: before the store
    {}, // put back an owed list: before the store
    {R::Store, 0},
    {R::SetMode, 0},
    // the rename, and where it is refused, a look at the copy
    {R::Rename + R::Stat, 0},
    // each try: the removal and the rename, and a look at the copy
    {AnotherPublisherFirstTries * (R::RemoveThenRename + R::Stat), 0},
    // a log-in, a look at the copy and the list, a rename, then the removal
    // and the rename
    {2 * R::Stat + R::Rename + R::RemoveThenRename, 1},
    {R::Store, 0}, // store in place: the copy may hold the list meanwhile
    {}, // clear copies: the copy is in place
    {}, // clean up: the copy goes
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
