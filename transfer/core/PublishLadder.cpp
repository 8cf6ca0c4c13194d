#include "PublishLadder.h"

#include "CloseSettler.h"
#include "DestinationTurn.h"
#include "HeldSessions.h"
#include "Learnt.h"
#include "LocalFile.h"
#include "PublishSteps.h"
#include "ResponseCodes.h"
#include "TransferLog.h"

#include <memory>
#include <optional>

namespace {

using Step = PublishStep;

// A publish from its local file to its end: the states around the steps,
// each taken at most once, so that every way a publish can end is one of
// them. A held session that the server or the network ended, or one that
// cannot carry this publish, before any byte went out costs no failed
// upload: the publish runs again at once on a fresh session, once more
// where that one learnt that the server refuses TLS 1.2.
class Run {
public:
    Run(const PublishJob& job, const std::atomic<bool>& abort, const SessionOpener& open)
        : job_(job), abort_(abort), open_(open), key_(KeyFor(job)), settle_(job, open) {}

    qint32 run() {
        for (Step step = Step::OpenFile; step != Step::End;) {
            trace(step);
            switch (step) {
            case Step::OpenFile: step = openFile(); break;
            case Step::TakeTurn: step = takeTurn(); break;
            case Step::OpenSession: step = openSession(); break;
            case Step::StatList: step = steps(); break;
            case Step::RunAgainFresh:
            case Step::RunAgainUncapped: step = runAgain(step); break;
            default: step = Step::End; break; // the steps' own, run within steps()
            }
        }
        if (session_)
            traceEnd();
        return code_;
    }

private:
    // On the session where there is one; the steps trace their own.
    void trace(Step step) const {
        if (step == Step::StatList)
            return;
        const QByteArray line = QByteArray("step: ") + NameOf(step);
        if (session_)
            session_->trace(line);
        else
            qCDebug(lcTransfer).noquote() << line;
    }
    Step end(qint32 code) {
        code_ = code;
        return Step::End;
    }
    // On the last session, before it is held: its connection goes with it.
    void traceEnd() {
        if (!std::exchange(endTraced_, true))
            session_->trace(QByteArray("step: ") + NameOf(Step::End));
    }

    Step openFile() {
        if (file_.open(job_.localFileName))
            return Step::TakeTurn;
        if (job_.report)
            job_.report->localErrno = file_.error();
        return end(ResponseCodes::LocalFileUnreadable);
    }

    // One publish at a time per host, whatever the account or the name:
    // two names may lead to one file (a symlink), and a password edited
    // meanwhile is still the same folder.
    Step takeTurn() {
        turn_.emplace(job_.endpoint.host.toCaseFolded().toUtf8(), abort_);
        return turn_->taken() ? Step::OpenSession : end(ResponseCodes::Aborted);
    }

    Step openSession() {
        session_ = open_(fresh_, job_, abort_);
        return session_ ? Step::StatList : end(ResponseCodes::NoSession);
    }

    Step steps() {
        PublishSteps steps(*session_, job_, file_, key_, token_, open_, abort_, settle_);
        code_ = steps.run();
        if (code_ == ResponseCodes::Ok) {
            steps.learn();
            // Held under the TLS it ended up with, which is what the next
            // publish that may use it asks for.
            const SessionTls tls = session_->tls();
            traceEnd();
            if (std::unique_ptr<Connection> connection = session_->release())
                HoldSession(WithTls(key_, tls), std::move(connection));
            return Step::End;
        }
        session_->learnFromFailure();
        const auto again = [this](PublishSession::RunAgain why, Step step) {
            return session_->runAgain() == why && !taken_.contains(step);
        };
        if (again(PublishSession::RunAgain::HeldSessionUnfit, Step::RunAgainFresh))
            return Step::RunAgainFresh;
        if (again(PublishSession::RunAgain::Tls12Refused, Step::RunAgainUncapped))
            return Step::RunAgainUncapped;
        ForgetAfterFailure(key_, job_.remoteFileName);
        return Step::End;
    }

    Step runAgain(Step step) {
        session_->trace(step == Step::RunAgainFresh
                            ? "the held session had ended: publishing on a fresh one"
                            : "the server refuses TLS 1.2: publishing again without the cap");
        taken_ << step;
        fresh_ = true;
        if (job_.report)
            *job_.report = {};
        if (!file_.rewind())
            return end(ResponseCodes::LocalFileUnreadable);
        return Step::OpenSession;
    }

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    const SessionOpener& open_;
    const DestinationKey key_;
    // What makes the publish's temporary names its own, the same on every
    // session of one publish.
    const QString token_ = NewCopyToken();
    CloseSettler settle_;
    LocalFile file_;
    std::optional<DestinationTurn> turn_;
    std::unique_ptr<PublishSession> session_;
    bool fresh_ = false;
    bool endTraced_ = false;
    QList<Step> taken_; // the runs again this publish took
    qint32 code_ = ResponseCodes::Ok;
};

} // namespace

qint32 PublishOver(const PublishJob& job, const std::atomic<bool>& abort,
                   const SessionOpener& open) {
    return Run(job, abort, open).run();
}
