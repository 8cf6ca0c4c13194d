#pragma once

#include "CloseSettler.h"
#include "FolderSweep.h"
#include "Learnt.h"
#include "LocalFile.h"
#include "PublishLadder.h"
#include "PublishSession.h"
#include "ResponseCodes.h"

#include <functional>
#include <vector>

// Where a step goes, and what the next step needs of it.
struct NextStep {
    using Step = PublishStep;
    Step step;
    // StoreInPlace, and the clean-up after it: why the bytes go over the
    // file, said once per target where this publish is the one that found
    // it out; empty where a publish before it did.
    QString inPlaceWhy = {};
    // ... and whether later publishes store in place from the start.
    bool rememberInPlace = true;
    // CleanUp: the list is in place on this session, so the folder's
    // copies go next.
    bool listInPlace = false;
};

// The steps of one publish on one session of either engine, run from step
// to step; PublishOver runs the states around them.
class PublishSteps {
public:
    using Result = PublishSession::Result;
    using Step = PublishStep;

    // `token`: what makes the publish's temporary names its own, the same
    // in every run of one publish, so that a publish run again on a fresh
    // session takes over the name an earlier one may have opened.
    // `open`: a session of its own, for a rename the connection broke.
    // `abort`: the publish's own flag, for a fresh session of its own.
    // `settle`: where a closed window's publish settles what it leaves.
    PublishSteps(PublishSession& session, const PublishJob& job, LocalFile& file,
                 const DestinationKey& key, const QString& token, const SessionOpener& open,
                 const std::atomic<bool>& abort, CloseSettler& settle)
        : s_(session), job_(job), file_(file), key_(key), token_(token), open_(open),
          abort_(abort), settle_(settle), learnt_(RecallTarget(key, job.remoteFileName)),
          sweep_(session, ahead_, key, job.timeouts) {}

    qint32 run();
    // What this publish found out, each fact on its own: applied where it
    // worked.
    void learn() const;

private:
    NextStep statList();
    NextStep followSymlinks();
    NextStep putBackOwedList();
    NextStep storeCopy();
    NextStep matchFile();
    NextStep putInPlace();
    NextStep replaceAfterRemoval();
    NextStep finishOnFreshSession();
    NextStep storeInPlace(const NextStep& why);
    NextStep clearCopies();
    NextStep cleanUp(const NextStep& why);

    // What comes once the server told the list's status.
    Step afterStatus() const;
    // The copy is ready to replace the list: the folder's listing is aimed
    // at the copy's time first.
    NextStep toRename();
    // Falls back to storing in place. `why` is said once per target where
    // this publish is the one that found it out; empty where a publish
    // before it did. `remember`: later publishes store in place from the
    // start.
    static NextStep inPlace(const QString& why, bool remember = true) {
        return {Step::StoreInPlace, why, remember};
    }
    // The list is in place: the clean-up, then the folder's copies.
    static NextStep listInPlace() { return {Step::CleanUp, {}, true, true}; }
    // Ends with `code`, after the publish's own copies are cleaned up.
    NextStep end(qint32 code) {
        code_ = code;
        return {Step::CleanUp};
    }
    // Ends with the session's code for the failed request.
    NextStep fail() { return end(s_.failureCode(file_)); }
    qint32 checked(const FileStatus& stored);
    // Whether the copy is still there: a refusal is only the server's where
    // it is; another publisher's sweep may have taken it.
    bool copyGone();
    // The copy, whole, onto the list's name on `other`, a session of its
    // own: after the list was removed and the rename did not follow.
    Result finishOn(PublishSession& other);
    // The server told the list's status, and there is a file.
    bool listThere() const { return told_ && before_.exists; }
    void change(std::function<void(TargetLearnt&)> fact) {
        fact(learnt_);
        changes_.push_back(std::move(fact));
    }

    PublishSession& s_;
    const PublishJob& job_;
    LocalFile& file_;
    const DestinationKey& key_;
    const QString& token_;
    const SessionOpener& open_;
    const std::atomic<bool>& abort_;
    CloseSettler& settle_;
    TargetLearnt learnt_; // as recalled, with this publish's changes
    Ahead ahead_;         // what the session is told of the next requests
    std::vector<std::function<void(TargetLearnt&)>> changes_;
    FolderSweep sweep_;
    qint32 code_ = ResponseCodes::Ok;
    FileStatus before_; // the list's status as the server had it
    bool told_ = false; // before_ holds what the server told
    FileStatus stored_; // the copy just stored
    QString temporary_; // the name holding our copy, unless it is the final one
    // The file the publish replaces: the name as typed, or the file a
    // symlink there leads to.
    QString final_ = job_.remoteFileName;
    // The list was removed to make way and the copy may be the only one of
    // it: from then on the copy is never removed.
    bool copyHoldsList_ = false;
};
