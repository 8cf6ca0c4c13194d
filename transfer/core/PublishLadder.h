#pragma once

#include "PublishJob.h"

#include <atomic>
#include <functional>
#include <iterator>
#include <memory>

class PublishSession;

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

// A session to publish on: `fresh` asks for one of its own, never the one
// held for the destination. Null where none can be made.
using SessionOpener = std::function<std::unique_ptr<PublishSession>(bool fresh)>;

// Stores one local file on a server, over any engine's session, so that the
// final name only ever holds a complete copy: the bytes go to a temporary
// name beside it, their size is checked where the server tells it, and a
// rename puts them in place. Runs on the session `open` gives, and holds it
// for the next publish where it worked. Blocks until done; `abort` ends it
// early. Returns a response code (ResponseCodes.h).
qint32 PublishOver(const PublishJob& job, const std::atomic<bool>& abort,
                   const SessionOpener& open);
