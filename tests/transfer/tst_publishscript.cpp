// The publish on a scripted server: every request of a publish ended in
// every way, on every behaviour the server matrix shows, and what must hold
// after each ending checked; then seeded walks over sequences of publishes,
// closes, kills and two lists in one folder. The real-server suites prove
// that the script plays those servers right.
#include "HeldSessions.h"
#include "Learnt.h"
#include "PublishClock.h"
#include "PublishLadder.h"
#include "ResponseCodes.h"
#include "ScriptedServer.h"
#include "SilenceLimit.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ScriptedBehaviour)
Q_DECLARE_METATYPE(Ending)
using Endings_t = QMap<int, Ending>;
Q_DECLARE_METATYPE(Endings_t)

namespace {

using B = ScriptedBehaviour;
constexpr auto Endings = {Ending::DropBefore, Ending::DropAfter,   Ending::NoReply,
                          Ending::Refused,    Ending::CloseBefore, Ending::CloseAfter,
                          Ending::Kill,       Ending::OtherLands,  Ending::OtherSweeps,
                          Ending::ConnectionDown};
const QString List = QStringLiteral("www/channel_list.txt");
const QString OtherList = QStringLiteral("www/new_channel_list.txt");
const qint64 Start = QDateTime(QDate(2027, 3, 28), QTime(0, 40), QTimeZone::utc()).toSecsSinceEpoch();

qint64 limit() {
    return LongestSilence(TransferTimeouts{}).count();
}

// How much later than the limit a copy may still be left: ls's minutes,
// and the hour a local time may shift by.
qint64 slack(B::Listing listing) {
    return listing == B::Listing::LsUtc || listing == B::Listing::LsLocal ? 3600 + 120 : 1;
}

// One program and the server it publishes to.
struct World {
    explicit World(B behaviour) : server(behaviour, Start) {
        seed();
        SetClockForTests({[this] { return server.boot; }, [this] { return server.now; }});
    }
    ~World() {
        endRun();
        SetClockForTests({});
    }

    // What a folder on a web host holds beside the list: copies of runs
    // that ended (old, young, dated ahead by another machine's clock),
    // names that are not this program's, a folder, another list's copy.
    void seed() {
        // Beside the file the list's name leads to.
        const QString at = server.behaviour.listIsSymlink ? QStringLiteral("data/")
                                                       : QStringLiteral("www/");
        const auto copy = [&](const QString& name, qint64 age, const QString& list = List) {
            ScriptedNode node;
            node.bytes = "half a list";
            node.changed = Start - age;
            node.copy = true;
            node.list = list;
            server.files.insert(at + name, node);
        };
        ScriptedNode list;
        list.bytes = "list version 0\n";
        list.mode = 0664;
        list.changed = Start - 86400;
        server.files.insert(at + QStringLiteral("channel_list.txt"), list);
        server.files.insert(at + QStringLiteral("other.txt"), list);
        if (server.behaviour.listIsSymlink) {
            ScriptedNode link;
            link.kind = ScriptedNode::Kind::Symlink;
            link.target = QStringLiteral("../data/channel_list.txt");
            server.files.insert(List, link);
        }
        copy(QStringLiteral(".channel_list.txt.0123456789abcdef.part"), 3 * 3600);
        copy(QStringLiteral("channel_list.txt.fedcba9876543210.part"), 300);
        copy(QStringLiteral(".channel_list.txt.00000000deadbeef.part"), -2 * 3600);
        copy(QStringLiteral(".other.txt.0123456789abcdef.part"), 3 * 3600, at + "other.txt");
        for (const char* name : {"channel_list.txt.20261209.part", "channel_list.txt.bak"})
            server.files.insert(at + QString::fromLatin1(name), list);
        ScriptedNode folder;
        folder.kind = ScriptedNode::Kind::Folder;
        server.files.insert(at + QStringLiteral(".channel_list.txt.1111111111111111.part"), folder);
    }

    // The program ends (killed, or its window closed): all it held is gone.
    void endRun() {
        refusedThisRun = false;
        CloseHeldSessions();
        ForgetEverything();
        ++server.run;
    }

    struct Outcome {
        qint32 code = ResponseCodes::Ok;
        bool killed = false;
    };
    Outcome publish(const QString& list, QMap<int, Ending> endings = {}) {
        ++version;
        const QByteArray bytes = "list version " + QByteArray::number(version) + '\n';
        // In memory where the machine has it: rewriting a file on ext4 waits
        // for the disk, a hundred thousand times over.
        static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                     ? QStringLiteral("/dev/shm/tst_publishscript-XXXXXX")
                                     : QString());
        QFile local(dir.filePath(QStringLiteral("channel_list.txt")));
        if (!local.open(QIODevice::WriteOnly) || local.write(bytes) != bytes.size())
            qFatal("cannot write the local list");
        local.close();
        PublishJob job{{}, QStringLiteral("web"), QStringLiteral("secret"), local.fileName(), list, {}};
        job.endpoint.host = QStringLiteral("scripted.invalid");
        job.endpoint.port = 21;
        std::atomic<bool> abort{false};
        previous = server.files.value(server.real(list)).bytes;
        lastSent = sent.value(list);
        hadList = server.files.contains(server.real(list));
        sent[list] = bytes;
        server.beginPublish(list, bytes, &abort, endings);
        Outcome outcome;
        try {
            outcome.code = PublishOver(job, abort, server.opener());
        } catch (const ScriptedKill&) {
            outcome.killed = true;
        }
        learnt = RecallTarget(KeyFor(job), list);
        for (auto it = endings.cbegin(); it != endings.cend(); ++it)
            refusedThisRun = refusedThisRun || (*it == Ending::Refused && it.key() < server.requests);
        connectionGone = endings.values().contains(Ending::ConnectionDown);
        swept = endings.values().contains(Ending::OtherSweeps);
        return outcome;
    }

    ScriptedServer server;
    int version = 0;
    QMap<QString, QByteArray> sent; // the bytes last sent to each list
    QByteArray previous;            // what the list held before the last publish
    bool hadList = false;           // whether there was one
    QByteArray lastSent;            // what the publish before it sent: an owed copy holds it
    TargetLearnt learnt;              // what the program learnt of the list
    bool refusedThisRun = false;    // the server refused a request, once, in this run
    bool connectionGone = false;      // the last publish lost the network for good
    bool swept = false;             // another publisher took the last publish's copies
};

QSet<QPair<QByteArray, QByteArray>>& stepsTaken() {
    static QSet<QPair<QByteArray, QByteArray>> steps;
    return steps;
}

// The step changes the publishes took, as the trace names them.
void noteSteps(const QList<QByteArray>& trace) {
    QByteArray last;
    const auto end = [&] {
        if (!last.isEmpty())
            stepsTaken().insert({last, "end"});
    };
    for (const QByteArray& line : trace) {
        if (!line.startsWith("step: "))
            continue;
        const QByteArray step = line.mid(6);
        // The end, or a publish's first step on its first session where the
        // last one was cut short.
        const bool over = step == NameOf(PublishStep::End);
        if (over || (step == NameOf(PublishStep::StatList) &&
                     last != NameOf(PublishStep::OpenSession))) {
            end();
            last.clear();
        }
        if (over)
            continue;
        if (!last.isEmpty())
            stepsTaken().insert({last, step});
        last = step;
    }
    end();
}

// What must hold after a publish that ended as the script made it.
QStringList checkCut(World& w, const QString& typed, Ending ending, const World::Outcome& outcome) {
    QStringList broken = w.server.violations;
    const B& b = w.server.behaviour;
    const QByteArray now = w.sent.value(typed);
    const QString list = w.server.real(typed);
    const ScriptedNode node = w.server.files.value(list);
    const bool whole = w.server.files.contains(list) && node.kind == ScriptedNode::Kind::File &&
                       (node.bytes == w.previous || node.bytes == now || node.bytes == w.lastSent ||
                        node.bytes == "another publisher's list\n");
    const bool torn = w.server.inPlaceCut && now.startsWith(node.bytes);
    bool heldByCopy = false;
    for (const QString& copy : w.server.copiesOf(typed))
        heldByCopy = heldByCopy || w.server.files.value(copy).bytes == now;
    // Only a kill between the removal and the rename, or a network gone
    // for good, may leave the list's name free, with a whole copy holding
    // the new bytes.
    const bool cutOff = outcome.killed || w.connectionGone || w.server.settlingCut ||
                        w.server.endingsPlayed > 1;
    const bool missing = !w.server.files.contains(list);
    // Where another publisher took the copy that held the list, and the
    // store in place then broke too, no bytes were left to put there.
    if (!whole && !torn && !(cutOff && missing && heldByCopy) && !(missing && !w.hadList) &&
        !(missing && w.swept))
        broken << "the list is " + QString::fromUtf8(w.server.files.contains(list)
                                                         ? "\"" + node.bytes + "\""
                                                         : QByteArray("gone"));
    if (w.server.closed && !w.server.settlingCut) {
        if (w.server.requestsAfterClose > 6)
            broken << QStringLiteral("%1 requests after Close").arg(w.server.requestsAfterClose);
        for (const QString& copy : w.server.copiesOf(typed)) {
            if (w.server.files.value(copy).publish == w.server.publishes && !b.removalsRefused &&
                !w.connectionGone)
                broken << "Close left " + copy;
        }
    }
    constexpr StepWaits path = LongestPathWaits();
    if (w.server.longestCopySilence > path.replies + path.logIns * PublishSession::Replies::LogIn)
        broken << QStringLiteral("a copy waited %1 replies").arg(w.server.longestCopySilence);
    // Nothing learnt from a refusal the publish or another publisher caused.
    if (ending != Ending::Refused && !w.refusedThisRun) {
        const TargetLearnt& f = w.learnt;
        const bool inPlace = b.rename == B::Rename::Nothing ||
                             (b.rename == B::Rename::OnlyFreeName && b.removalsRefused) ||
                             b.status == B::Status::ModesFixed || b.status == B::Status::OtherGroup;
        if (!f.storeInPlace.isEmpty() && !inPlace)
            broken << "learnt to store in place: " + f.storeInPlace;
        if (f.removesToReplace && b.rename != B::Rename::OnlyFreeName)
            broken << QStringLiteral("learnt that the server renames only onto a free name");
        if (f.firstName != CopyName::Hidden && !b.besideRefused &&
            !(f.firstName == CopyName::Visible && b.dotNamesRefused))
            broken << QStringLiteral("learnt to store the copy under another name");
        if (f.tellsNoStatus && b.status != B::Status::Nothing)
            broken << QStringLiteral("learnt that the server tells nothing");
    }
    return broken;
}

// What must hold after a publish that nothing ended.
QStringList checkClean(World& w, const QString& list, const World::Outcome& outcome) {
    QStringList broken = checkCut(w, list, Ending::None, outcome);
    if (outcome.code != ResponseCodes::Ok)
        broken << QStringLiteral("failed with %1").arg(outcome.code);
    if (w.server.files.value(w.server.real(list)).bytes != w.sent.value(list))
        broken << QStringLiteral("the list does not hold the bytes sent");
    const B& b = w.server.behaviour;
    if (b.removalsRefused)
        return broken;
    for (const QString& copy : w.server.copiesOf(list)) {
        const ScriptedNode node = w.server.files.value(copy);
        // Once the server refused a listing or a removal, a copy it showed
        // may wait for a later listing.
        const bool old = w.server.now - node.changed > limit() + slack(b.listing) &&
                         b.listing != B::Listing::Nothing && !w.refusedThisRun;
        // A copy that holds the list where a refusal hid the list's folder
        // from the publishes after it waits for a later one.
        const bool hidden = w.refusedThisRun && node.bytes.startsWith("list version");
        if ((node.run == w.server.run && !hidden) || old)
            broken << "left " + copy;
    }
    return broken;
}

QList<B> everyBehaviour() {
    QList<B> all;
    for (auto rename : {B::Rename::OntoFile, B::Rename::OnlyFreeName, B::Rename::Nothing})
        for (auto listing : {B::Listing::Mlsd, B::Listing::LsUtc, B::Listing::LsLocal,
                             B::Listing::Sftp, B::Listing::Nothing})
            for (auto status : {B::Status::ModesSettable, B::Status::ModesFixed, B::Status::OtherGroup,
                               B::Status::Nothing})
                for (bool dots : {false, true})
                    for (bool removals : {false, true})
                        all << B{rename, listing, status, dots, removals};
    // The list's name a link: the copy beside the file it leads to.
    for (auto rename : {B::Rename::OntoFile, B::Rename::OnlyFreeName, B::Rename::Nothing})
        for (auto listing : {B::Listing::Mlsd, B::Listing::Sftp})
            all << B{rename, listing, B::Status::ModesSettable, false, false, true};
    // Nothing can be made beside the list: it is stored in place.
    all << B{B::Rename::OntoFile, B::Listing::Mlsd, B::Status::ModesSettable, false, false, false,
             true};
    return all;
}

// One scenario: the program's `earlier` clean publishes, then one ended at
// request `at` in the way `ending` says, then the next publish, of the same
// run or (after a kill or a close) of a new one once the copies it left
// are past the limit.
// After a publish a kill or a close ended, the program starts anew; after
// a kill, once what it left is older than the limit.
void afterEnding(World& w, const World::Outcome& outcome) {
    if (!outcome.killed && !w.server.closed)
        return;
    w.endRun();
    if (outcome.killed) {
        w.server.now += limit() + 4 * 3600;
        w.server.boot += 1000 * (limit() + 4 * 3600);
    }
}

// One scenario: the program's `earlier` clean publishes, then one ended as
// `endings` say; where that left the list's name free, the next one ended
// as `nextEndings` say; then a publish nothing ends.
QStringList scenario(const B& behaviour, int earlier, QMap<int, Ending> endings,
                     QMap<int, Ending> nextEndings = {}, int* requests = nullptr,
                     QList<QByteArray>* trace = nullptr, bool* leftFree = nullptr) {
    World w(behaviour);
    QStringList broken;
    for (int i = 0; i < earlier && broken.isEmpty(); ++i)
        broken = checkClean(w, List, w.publish(List));
    if (!broken.isEmpty())
        return broken;
    const World::Outcome cut = w.publish(List, endings);
    if (requests)
        *requests = w.server.requests;
    noteSteps(w.server.trace);
    const Ending ending =
        endings.values().contains(Ending::Refused) ? Ending::Refused : endings.value(endings.firstKey());
    broken << checkCut(w, List, ending, cut);
    if (trace)
        *trace = w.server.trace;
    // Where the list's name was left free, the next publish of the run
    // puts the copy that holds it there first, however it ends.
    const bool owed = !w.server.files.contains(w.server.real(List)) && w.hadList && !cut.killed;
    if (leftFree)
        *leftFree = owed;
    afterEnding(w, cut);
    if (owed) {
        w.server.violations.clear();
        const World::Outcome next = w.publish(List, nextEndings);
        noteSteps(w.server.trace);
        broken << checkCut(w, List, nextEndings.value(nextEndings.firstKey(), Ending::None), next);
        const qsizetype putBack = w.server.trace.indexOf("step: put back an owed list");
        const qsizetype stored = w.server.trace.indexOf("step: store the copy");
        // Not where the server refuses to tell what the name is, or another
        // publisher's list came first.
        const bool told = !nextEndings.values().contains(Ending::Refused) &&
                          !nextEndings.values().contains(Ending::OtherLands) &&
                          behaviour.status != B::Status::Nothing;
        if (told && stored >= 0 && (putBack < 0 || putBack > stored))
            broken << QStringLiteral("the next publish (%1 at %2) did not put the list back first")
                          .arg(QLatin1String(EndingNames[int(nextEndings.value(nextEndings.firstKey()))]))
                          .arg(nextEndings.isEmpty() ? -1 : nextEndings.firstKey());
        afterEnding(w, next);
    }
    w.server.violations.clear();
    const World::Outcome next = w.publish(List);
    noteSteps(w.server.trace);
    broken << checkClean(w, List, next);
    return broken;
}

} // namespace

class tst_PublishScript : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void everyEnding();
    void faults_data();
    void faults();
    void randomWalks();
    void stepTable();
    void reasonKept();
    void silenceLimit();
};

void tst_PublishScript::initTestCase() {
    // The trace and the notes of a hundred thousand publishes say nothing
    // a failed check does not.
    QLoggingCategory::setFilterRules(QStringLiteral("harlune.*=false"));
}

void tst_PublishScript::everyEnding() {
    int scenarios = 0, failures = 0;
    QElapsedTimer took;
    took.start();
    for (const B& behaviour : everyBehaviour()) {
        for (int earlier : {0, 1}) {
            // Every request a publish makes, and the first after its last.
            int requests = 0;
            scenario(behaviour, earlier, {}, {}, &requests);
            for (int at = 0; at <= requests; ++at) {
                for (Ending ending : Endings) {
                    ++scenarios;
                    bool leftFree = false;
                    QStringList broken = scenario(behaviour, earlier, {{at, ending}}, {}, nullptr,
                                                  nullptr, &leftFree);
                    // Where the list's name was left free (the network gone
                    // for good), the next publish is ended at each request
                    // up to the put-back too.
                    for (int next = 0; leftFree && next < 3; ++next) {
                        for (Ending then : Endings) {
                            ++scenarios;
                            broken << scenario(behaviour, earlier, {{at, ending}}, {{next, then}});
                        }
                    }
                    if (!broken.isEmpty() && ++failures <= 20)
                        qWarning().noquote() << behaviour.name() << "| earlier publishes:" << earlier
                                             << "| request" << at << EndingNames[int(ending)]
                                             << "|" << broken.join(QStringLiteral("; "));
                }
            }
        }
    }
    qInfo("%d scenarios on %d behaviours in %lld ms", scenarios, int(everyBehaviour().size()),
          took.elapsed());
    QCOMPARE(failures, 0);
}

// Each fault the exploration found, kept by name.
void tst_PublishScript::faults_data() {
    QTest::addColumn<B>("behaviour");
    QTest::addColumn<int>("earlier");
    QTest::addColumn<Endings_t>("endings");
    const auto row = [](const char* name, B b, int earlier, int at, Ending ending,
                        QMap<int, Ending> more = {}) {
        more.insert(at, ending);
        QTest::newRow(name) << b << earlier << more;
    };
    using R = B::Rename;
    using L = B::Listing;
    using F = B::Status;
    row("another publisher's sweep takes the copy before its mode is set", B{}, 0, 2,
        Ending::OtherSweeps);
    row("a server that tells nothing: the copy swept before the rename",
        B{R::OntoFile, L::Mlsd, F::Nothing}, 0, 2, Ending::OtherSweeps);
    row("killed mid-store in place: the list torn as curl -T leaves it",
        B{R::OntoFile, L::Mlsd, F::ModesFixed}, 0, 4, Ending::Kill);
    row("the window closed while the copy is cleared after storing in place",
        B{R::OntoFile, L::Mlsd, F::ModesFixed}, 0, 5, Ending::CloseBefore);
    row("a listing refused once", B{}, 0, 4, Ending::Refused);
    row("another publisher keeps landing, then the store in place breaks",
        B{B::Rename::OnlyFreeName}, 0, 4, Ending::OtherLands, {{13, Ending::DropBefore}});
    row("the network gone between the removal and the rename",
        B{B::Rename::OnlyFreeName}, 0, 5, Ending::ConnectionDown);
    row("a server that speaks TLS 1.3 alone: again without the cap", B{.tls13Only = true}, 0, 0,
        Ending::None);
}

void tst_PublishScript::faults() {
    QFETCH(B, behaviour);
    QFETCH(int, earlier);
    QFETCH(Endings_t, endings);
    QList<QByteArray> trace;
    const QStringList broken = scenario(behaviour, earlier, endings, {}, nullptr, &trace);
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QStringLiteral("; ")) + u'\n' +
                                          QString::fromUtf8(trace.join('\n'))));
}

// Sequences of publishes to two lists in one folder, endings, closes,
// kills and time passing, from seeds: the seed of a failing walk is printed.
void tst_PublishScript::randomWalks() {
    const QList<B> behaviours = everyBehaviour();
    constexpr int Walks = 1500, Steps = 8;
    for (quint32 seed = 1; seed <= Walks; ++seed) {
        QRandomGenerator random(seed);
        World w(behaviours[random.bounded(int(behaviours.size()))]);
        QStringList broken;
        QString list = List;
        for (int step = 0; step < Steps && broken.isEmpty(); ++step) {
            w.server.violations.clear();
            switch (random.bounded(6)) {
            case 0:
                list = list == List ? OtherList : List;
                break;
            case 1: {
                const qint64 wait = random.bounded(2 * int(limit()));
                w.server.now += wait;
                w.server.boot += 1000 * wait;
                break;
            }
            default: {
                // One ending, or two: a publish may meet more than one.
                QMap<int, Ending> endings;
                for (int n = 1 + random.bounded(2); n > 0; --n)
                    endings.insert(random.bounded(16),
                                   std::data(Endings)[random.bounded(int(Endings.size()))]);
                const World::Outcome outcome = w.publish(list, endings);
                broken = checkCut(w, list,
                                  endings.values().contains(Ending::Refused) ? Ending::Refused
                                                                             : Ending::None,
                                  outcome);
                if (outcome.killed || w.server.closed)
                    w.endRun();
                if (outcome.killed) {
                    // Only then: a copy that still holds the list is older
                    // than the limit when the next run lists the folder.
                    w.server.now += limit() + 4 * 3600;
                    w.server.boot += 1000 * (limit() + 4 * 3600);
                }
            }
            }
        }
        if (broken.isEmpty()) {
            w.server.violations.clear();
            broken = checkClean(w, list, w.publish(list));
        }
        QVERIFY2(broken.isEmpty(), qPrintable(QStringLiteral("walk %1 (%2): %3\n%4")
                                                  .arg(seed)
                                                  .arg(QString::fromUtf8(w.server.behaviour.name()),
                                                       broken.join(QStringLiteral("; ")),
                                                       QString::fromUtf8(w.server.trace.join('\n')))));
    }
}

// The README's table of steps, with where each goes on to, is what the
// publishes above took: every change they took is in the table, and every
// change in the table was taken.
// A store in place that the server keeps short, where the list was removed
// for the copy and another publisher's list came first: the publish fails
// with the store's own reason, not the session's last.
void tst_PublishScript::reasonKept() {
    World w(B{B::Rename::OnlyFreeName});
    const World::Outcome outcome =
        w.publish(List, {{4, Ending::OtherLands}, {13, Ending::ShortStore}});
    QVERIFY2(w.server.trace.contains("step: finish on a fresh session"),
             w.server.trace.join('\n').constData());
    QCOMPARE(outcome.code, ResponseCodes::SizeMismatch);
}

void tst_PublishScript::stepTable() {
    QFile readme(QStringLiteral(HARLUNE_SOURCE_DIR "/README.md"));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    QSet<QPair<QByteArray, QByteArray>> table;
    const QRegularExpression row(QStringLiteral(R"(^\| ([a-zA-Z0-9.' ]+) \| .* \| ([a-zA-Z0-9.' ,()]+) \|$)"));
    bool inSection = false;
    while (!readme.atEnd()) {
        const QString line = QString::fromUtf8(readme.readLine()).trimmed();
        if (line.startsWith(u'#'))
            inSection = line == QLatin1String("## What an upload does");
        const QRegularExpressionMatch m = row.match(line);
        if (!inSection || m.captured(1) == QLatin1String("step"))
            continue;
        if (!m.hasMatch())
            continue;
        QString goesOn = m.captured(2);
        goesOn.remove(QRegularExpression(QStringLiteral(R"( \([a-z ,]+\))")));
        for (const QString& next : goesOn.split(QStringLiteral(", ")))
            table.insert({m.captured(1).toUtf8(), next.trimmed().toUtf8()});
    }
    QVERIFY2(!table.isEmpty(), "the README has no step table");
    for (const auto& taken : stepsTaken())
        QVERIFY2(table.contains(taken), (taken.first + " went on to " + taken.second +
                                         ", which the README's table does not say").constData());
    for (const auto& listed : table)
        QVERIFY2(stepsTaken().contains(listed),
                 (listed.first + " -> " + listed.second + " is in the README, but no publish "
                                                          "took it").constData());
}

// The limit is the ladder's own waits added up: a step that keeps a copy
// waiting longer than its row says fails the exploration's silence check;
// this pins the sum to the limit.
void tst_PublishScript::silenceLimit() {
    constexpr StepWaits path = LongestPathWaits();
    const TransferTimeouts t;
    QCOMPARE(LongestSilence(t).count(),
             path.logIns * (30 + PublishSession::Replies::LogIn * 60) + path.replies * 60 + 5);
    TransferTimeouts longer;
    longer.serverReply = std::chrono::seconds(120);
    QCOMPARE(LongestSilence(longer).count(),
             path.logIns * (30 + PublishSession::Replies::LogIn * 120) + path.replies * 120 + 5);
    // Shorter limits never make it shorter than the defaults' limit.
    TransferTimeouts shorter;
    shorter.serverReply = std::chrono::seconds(5);
    QCOMPARE(LongestSilence(shorter), LongestSilence(t));
}

QTEST_GUILESS_MAIN(tst_PublishScript)
#include "tst_publishscript.moc"
