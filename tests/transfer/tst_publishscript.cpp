// The publish on a scripted server: every request of a publish ended in
// every way, on every behaviour the server matrix shows, and what must hold
// after each ending checked; then seeded walks over sequences of publishes,
// closes, kills and two lists in one folder. The real-server suites prove
// that the script plays those servers right.
#include "HeldSessions.h"
#include "LearntFacts.h"
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

namespace {

using B = ScriptedBehaviour;
constexpr auto Endings = {Ending::DropBefore, Ending::DropAfter,   Ending::NoReply,
                          Ending::Refused,    Ending::CloseBefore, Ending::CloseAfter,
                          Ending::Kill,       Ending::OtherLands,  Ending::OtherSweeps};
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
        const auto copy = [this](const QString& path, qint64 age, const QString& list = List) {
            ScriptedNode node;
            node.bytes = "half a list";
            node.changed = Start - age;
            node.copy = true;
            node.list = list;
            server.files.insert(path, node);
        };
        ScriptedNode list;
        list.bytes = "list version 0\n";
        list.mode = 0664;
        list.changed = Start - 86400;
        server.files.insert(List, list);
        server.files.insert(QStringLiteral("www/other.txt"), list);
        copy(QStringLiteral("www/.channel_list.txt.0123456789abcdef.part"), 3 * 3600);
        copy(QStringLiteral("www/channel_list.txt.fedcba9876543210.part"), 300);
        copy(QStringLiteral("www/.channel_list.txt.00000000deadbeef.part"), -2 * 3600);
        copy(QStringLiteral("www/.other.txt.0123456789abcdef.part"), 3 * 3600,
             QStringLiteral("www/other.txt"));
        for (const char* name : {"www/channel_list.txt.20261209.part", "www/channel_list.txt.bak"})
            server.files.insert(QString::fromLatin1(name), list);
        ScriptedNode folder;
        folder.kind = ScriptedNode::Kind::Folder;
        server.files.insert(QStringLiteral("www/.channel_list.txt.1111111111111111.part"), folder);
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
    Outcome publish(const QString& list, int endAt = -1, Ending ending = Ending::None) {
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
        PublishJob job{{}, QStringLiteral("web"), QStringLiteral("secret"), local.fileName(), list};
        job.endpoint.host = QStringLiteral("scripted.invalid");
        job.endpoint.port = 21;
        std::atomic<bool> abort{false};
        previous = server.files.value(list).bytes;
        sent[list] = bytes;
        server.beginPublish(list, bytes, &abort, endAt, ending);
        Outcome outcome;
        try {
            outcome.code = PublishOver(job, abort, server.opener());
        } catch (const ScriptedKill&) {
            outcome.killed = true;
        }
        facts = RecallTarget(KeyFor(job), list);
        refusedThisRun = refusedThisRun || (ending == Ending::Refused && endAt < server.requests);
        return outcome;
    }

    ScriptedServer server;
    int version = 0;
    QMap<QString, QByteArray> sent; // the bytes last sent to each list
    QByteArray previous;            // what the list held before the last publish
    TargetFacts facts;              // what the program learnt of the list
    bool refusedThisRun = false;    // the server refused a request, once, in this run
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
        if (step == PublishStepNames[0]) {
            end();
            last.clear();
        }
        if (!last.isEmpty())
            stepsTaken().insert({last, step});
        last = step;
    }
    end();
}

// What must hold after a publish that ended as the script made it.
QStringList checkCut(World& w, const QString& list, Ending ending, const World::Outcome& outcome) {
    QStringList broken = w.server.violations;
    const B& b = w.server.behaviour;
    const QByteArray now = w.sent.value(list);
    const ScriptedNode node = w.server.files.value(list);
    const bool whole = w.server.files.contains(list) && node.kind == ScriptedNode::Kind::File &&
                       (node.bytes == w.previous || node.bytes == now ||
                        node.bytes == "another publisher's list\n");
    const bool torn = w.server.inPlaceCut && now.startsWith(node.bytes);
    bool heldByCopy = false;
    for (const QString& copy : w.server.copiesOf(list))
        heldByCopy = heldByCopy || w.server.files.value(copy).bytes == now;
    // Only a kill between the removal and the rename may leave the list's
    // name free, with a whole copy holding the new bytes.
    if (!whole && !torn && !(outcome.killed && !w.server.files.contains(list) && heldByCopy))
        broken << "the list is " + QString::fromUtf8(w.server.files.contains(list)
                                                         ? "\"" + node.bytes + "\""
                                                         : QByteArray("gone"));
    if (w.server.closed) {
        if (w.server.requestsAfterClose > 6)
            broken << QStringLiteral("%1 requests after Close").arg(w.server.requestsAfterClose);
        for (const QString& copy : w.server.copiesOf(list)) {
            if (w.server.files.value(copy).run == w.server.run && !b.removalsRefused)
                broken << "Close left " + copy;
        }
    }
    constexpr StepWaits path = LongestPathWaits();
    if (w.server.longestCopySilence > path.replies + path.logIns * PublishSession::Replies::LogIn)
        broken << QStringLiteral("a copy waited %1 replies").arg(w.server.longestCopySilence);
    // Nothing learnt from a refusal the publish or another publisher caused.
    if (ending != Ending::Refused && !w.refusedThisRun) {
        const TargetFacts& f = w.facts;
        const bool inPlace = b.rename == B::Rename::Nothing ||
                             (b.rename == B::Rename::OnlyFreeName && b.removalsRefused) ||
                             b.facts == B::Facts::ModesFixed || b.facts == B::Facts::OtherGroup;
        if (!f.storeInPlace.isEmpty() && !inPlace)
            broken << "learnt to store in place: " + f.storeInPlace;
        if (f.removesToReplace && b.rename != B::Rename::OnlyFreeName)
            broken << QStringLiteral("learnt that the server renames only onto a free name");
        if (f.firstName != CopyName::Hidden && !(f.firstName == CopyName::Visible && b.dotNamesRefused))
            broken << QStringLiteral("learnt to store the copy under another name");
        if (f.tellsNoFacts && b.facts != B::Facts::Nothing)
            broken << QStringLiteral("learnt that the server tells nothing");
    }
    return broken;
}

// What must hold after a publish that nothing ended.
QStringList checkClean(World& w, const QString& list, const World::Outcome& outcome) {
    QStringList broken = checkCut(w, list, Ending::None, outcome);
    if (outcome.code != ResponseCodes::Ok)
        broken << QStringLiteral("failed with %1").arg(outcome.code);
    if (w.server.files.value(list).bytes != w.sent.value(list))
        broken << QStringLiteral("the list does not hold the bytes sent");
    const B& b = w.server.behaviour;
    if (b.removalsRefused)
        return broken;
    for (const QString& copy : w.server.copiesOf(list)) {
        const ScriptedNode node = w.server.files.value(copy);
        // Once the server refused a listing or a removal, a copy it showed
        // may wait for a later look.
        const bool old = w.server.now - node.changed > limit() + slack(b.listing) &&
                         b.listing != B::Listing::Nothing && !w.refusedThisRun;
        if (node.run == w.server.run || old)
            broken << "left " + copy;
    }
    return broken;
}

QList<B> everyBehaviour() {
    QList<B> all;
    for (auto rename : {B::Rename::OntoFile, B::Rename::OnlyFreeName, B::Rename::Nothing})
        for (auto listing : {B::Listing::Mlsd, B::Listing::LsUtc, B::Listing::LsLocal,
                             B::Listing::Sftp, B::Listing::Nothing})
            for (auto facts : {B::Facts::ModesSettable, B::Facts::ModesFixed, B::Facts::OtherGroup,
                               B::Facts::Nothing})
                for (bool dots : {false, true})
                    for (bool removals : {false, true})
                        all << B{rename, listing, facts, dots, removals};
    return all;
}

// One scenario: the program's `earlier` clean publishes, then one ended at
// request `at` in the way `ending` says, then the next publish, of the same
// run or (after a kill or a close) of a new one once the copies it left
// are past the limit.
QStringList scenario(const B& behaviour, int earlier, int at, Ending ending, int* requests = nullptr,
                     QList<QByteArray>* trace = nullptr) {
    World w(behaviour);
    QStringList broken;
    for (int i = 0; i < earlier && broken.isEmpty(); ++i)
        broken = checkClean(w, List, w.publish(List));
    if (!broken.isEmpty())
        return broken;
    const World::Outcome cut = w.publish(List, at, ending);
    if (requests)
        *requests = w.server.requests;
    noteSteps(w.server.trace);
    broken << checkCut(w, List, ending, cut);
    if (trace)
        *trace = w.server.trace;
    if (cut.killed || w.server.closed) {
        w.endRun();
        if (cut.killed) {
            w.server.now += limit() + 4 * 3600;
            w.server.boot += 1000 * (limit() + 4 * 3600);
        }
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
            scenario(behaviour, earlier, -1, Ending::None, &requests);
            for (int at = 0; at <= requests; ++at) {
                for (Ending ending : Endings) {
                    ++scenarios;
                    const QStringList broken = scenario(behaviour, earlier, at, ending);
                    static QSet<QString> seen;
                    const QString kind = broken.value(0).left(25) + EndingNames[int(ending)];
                    if (!broken.isEmpty() && ++failures && !seen.contains(kind) && seen.size() < 40 && (seen.insert(kind), true))
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
    QTest::addColumn<int>("at");
    QTest::addColumn<Ending>("ending");
    const auto row = [](const char* name, B b, int earlier, int at, Ending ending) {
        QTest::newRow(name) << b << earlier << at << ending;
    };
    using R = B::Rename;
    using L = B::Listing;
    using F = B::Facts;
    row("another publisher's sweep takes the copy before its mode is set", B{}, 0, 2,
        Ending::OtherSweeps);
    row("a server that tells nothing: the copy swept before the rename",
        B{R::OntoFile, L::Mlsd, F::Nothing}, 0, 2, Ending::OtherSweeps);
    row("killed mid-store in place: the list torn as curl -T leaves it",
        B{R::OntoFile, L::Mlsd, F::ModesFixed}, 0, 4, Ending::Kill);
    row("the window closed while the copy is cleared after storing in place",
        B{R::OntoFile, L::Mlsd, F::ModesFixed}, 0, 5, Ending::CloseBefore);
    row("a listing refused once", B{}, 0, 4, Ending::Refused);
}

void tst_PublishScript::faults() {
    QFETCH(B, behaviour);
    QFETCH(int, earlier);
    QFETCH(int, at);
    QFETCH(Ending, ending);
    QList<QByteArray> trace;
    const QStringList broken = scenario(behaviour, earlier, at, ending, nullptr, &trace);
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
                const Ending ending = std::data(Endings)[random.bounded(int(Endings.size()))];
                const World::Outcome outcome = w.publish(list, random.bounded(14), ending);
                broken = checkCut(w, list, ending, outcome);
                if (outcome.killed || w.server.closed)
                    w.endRun();
                if (outcome.killed) {
                    // Only then: a copy that still holds the list is older
                    // than the limit when the next run looks.
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
        QVERIFY2(broken.isEmpty(), qPrintable(QStringLiteral("walk %1 (%2): %3")
                                                  .arg(seed)
                                                  .arg(QString::fromUtf8(w.server.behaviour.name()),
                                                       broken.join(QStringLiteral("; ")))));
    }
}

// The README's table of steps, with where each goes on to, is what the
// publishes above took: every change they took is in the table, and every
// change in the table was taken.
void tst_PublishScript::stepTable() {
    QFile readme(QStringLiteral(HARLUNE_SOURCE_DIR "/README.md"));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    QSet<QPair<QByteArray, QByteArray>> table;
    const QRegularExpression row(QStringLiteral(R"(^\| ([a-z ]+) \| .* \| ([a-z ,()]+) \|$)"));
    while (!readme.atEnd()) {
        const QRegularExpressionMatch m = row.match(QString::fromUtf8(readme.readLine()).trimmed());
        if (!m.hasMatch())
            continue;
        QString goesOn = m.captured(2);
        goesOn.remove(QRegularExpression(QStringLiteral(R"( \([a-z ]+\))")));
        for (const QString& next : goesOn.split(QStringLiteral(", ")))
            table.insert({m.captured(1).toUtf8(), next.trimmed().toUtf8()});
    }
    QVERIFY2(!table.isEmpty(), "the README has no step table");
    for (const auto& taken : stepsTaken())
        qInfo() << taken.first << "->" << taken.second;
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
