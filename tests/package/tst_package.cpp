#include "ServerLauncher.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run {
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& args, const QStringList& env = {},
        int timeoutMs = 120000) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.start(program, args);
    Run r;
    r.finished = p.waitForStarted() && p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

bool have(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

} // namespace

// The .deb that scripts/package.sh makes from debian/ with dpkg-buildpackage,
// unpacked, and held with its source package to the checks a Debian
// maintainer runs before an upload.
class tst_Package : public QObject {
    Q_OBJECT

    QString deb_;
    // The source package and the build's .changes, beside the .deb.
    QString dsc_;
    QString changes_;
    QTemporaryDir root_;

    QString unpacked(const QString& path) const { return root_.filePath(path); }
    QString expand(QString arg) const {
        return arg.replace("@DEB@", deb_)
            .replace("@DSC@", dsc_)
            .replace("@CHANGES@", changes_)
            .replace("@ROOT@", root_.path());
    }

private slots:
    void initTestCase();
    void contents_data();
    void contents();
    void control_data();
    void control();
    void checks_data();
    void checks();
    void startsOffscreen();
};

void tst_Package::initTestCase() {
    if (!have("dpkg-deb") || !have("apt-get"))
        QSKIP("not a Debian system: no dpkg-deb or apt-get");
    QVERIFY(root_.isValid());
    // The same one command a user runs, without the tests the package build
    // runs: this run has them all.
    const Run build = run("bash", {HARLUNE_SOURCE_DIR "/scripts/package.sh"},
                          {"DEB_BUILD_OPTIONS=nocheck"}, 1500 * 1000);
    QVERIFY2(build.finished && build.exitCode == 0, qPrintable(build.err.right(4000)));
    deb_ = build.out.trimmed().section('\n', -1);
    QVERIFY2(deb_.endsWith(".deb") && QFileInfo(deb_).isAbsolute() && QFileInfo::exists(deb_),
             qPrintable("last line is not the package: " + deb_));
    const Run arch = run("dpkg", {"--print-architecture"});
    const QRegularExpression name(
        QString("^harlune-uploader_([^_]+)_%1\\.deb$").arg(arch.out.trimmed()));
    const QRegularExpressionMatch m = name.match(QFileInfo(deb_).fileName());
    QVERIFY2(m.hasMatch(), qPrintable(deb_));
    const QString dir = QFileInfo(deb_).absolutePath() + '/';
    dsc_ = dir + "harlune-uploader_" + m.captured(1) + ".dsc";
    changes_ = dir + QFileInfo(deb_).completeBaseName() + ".changes";
    for (const QString& f : {dsc_, changes_})
        QVERIFY2(QFileInfo::exists(f), qPrintable(f + " was not made"));
    const Run x = run("dpkg-deb", {"-x", deb_, root_.path()});
    QVERIFY2(x.exitCode == 0, qPrintable(x.err));
}

void tst_Package::contents_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::newRow("program") << "usr/bin/harlune-uploader" << true;
    QTest::newRow("desktop entry") << "usr/share/applications/harlune-uploader.desktop" << false;
    QTest::newRow("icon") << "usr/share/icons/hicolor/scalable/apps/harlune-uploader.svg" << false;
    QTest::newRow("appstream") << "usr/share/metainfo/org.harlune.uploader.metainfo.xml" << false;
    QTest::newRow("manual page") << "usr/share/man/man1/harlune-uploader.1.gz" << false;
    QTest::newRow("copyright") << "usr/share/doc/harlune-uploader/copyright" << false;
    QTest::newRow("changelog") << "usr/share/doc/harlune-uploader/changelog.gz" << false;
}

void tst_Package::contents() {
    QFETCH(QString, path);
    QFETCH(bool, executable);
    const QFileInfo f(unpacked(path));
    QVERIFY2(f.isFile(), qPrintable(path + " is not in the package"));
    QVERIFY(f.size() > 0);
    QCOMPARE(f.isExecutable(), executable);
}

void tst_Package::control_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("pattern");
    // Worked out by dpkg-shlibdeps from the libraries the program links: an
    // empty ${shlibs:Depends} would let apt install a program that cannot
    // start.
    QTest::newRow("depends on Qt Widgets") << "Depends"
                                           << "(^|, )libqt6widgets6 \\(>= [^)]+\\)";
    QTest::newRow("depends on libcurl") << "Depends"
                                        << "(^|, )libcurl4 \\(>= [^)]+\\)";
    QTest::newRow("depends on libc") << "Depends"
                                     << "(^|, )libc6 \\(>= [^)]+\\)";
}

void tst_Package::control() {
    QFETCH(QString, field);
    QFETCH(QString, pattern);
    const Run f = run("dpkg-deb", {"--field", deb_, field});
    QCOMPARE(f.exitCode, 0);
    const QString value = f.out.trimmed();
    QVERIFY2(QRegularExpression(pattern).match(value).hasMatch(), qPrintable(field + ": " + value));
}

void tst_Package::checks_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("env");
    // Output that must appear, output that must not, and whether anything on
    // standard error counts as a complaint.
    QTest::addColumn<QString>("required");
    QTest::addColumn<QString>("forbidden");
    QTest::addColumn<bool>("quietStderr");

    // Every tag fails, down to pedantic ones, unless debian/ overrides it
    // with its reason; the binary packages through the build's .changes.
    const QStringList lintian{"--fail-on", "error,warning,info,pedantic", "--pedantic", "-I"};
    QTest::newRow("lintian, binary") << "lintian" << lintian + QStringList{"@CHANGES@"}
                                     << QStringList{} << ""
                                     << "^[EWIPX]: " << false;
    QTest::newRow("lintian, source") << "lintian" << lintian + QStringList{"@DSC@"}
                                     << QStringList{} << ""
                                     << "^[EWIPX]: " << false;
    QTest::newRow("appstream metadata")
        << "appstreamcli"
        << QStringList{"validate", "--no-net",
                       "@ROOT@/usr/share/metainfo/org.harlune.uploader.metainfo.xml"}
        << QStringList{} << "Validation was successful"
        << "^\\s*[EW]: " << true;
    // The tree check also finds the desktop entry the metadata launches.
    QTest::newRow("appstream tree")
        << "appstreamcli" << QStringList{"validate-tree", "--no-net", "@ROOT@"} << QStringList{}
        << "Validation was successful"
        << "^\\s*[EW]: " << true;
    QTest::newRow("desktop entry")
        << "desktop-file-validate"
        << QStringList{"@ROOT@/usr/share/applications/harlune-uploader.desktop"} << QStringList{}
        << ""
        << "." << true;
    QTest::newRow("manual page") << "man"
                                 << QStringList{"--warnings",
                                                "-E",
                                                "UTF-8",
                                                "-l",
                                                "-Tutf8",
                                                "-Z",
                                                "@ROOT@/usr/share/man/man1/harlune-uploader.1.gz"}
                                 << QStringList{"LC_ALL=C.UTF-8", "MANROFFSEQ=", "MANWIDTH=80"}
                                 << ""
                                 << "" << true;
    // Reinstall: where the package is installed already, as after the
    // autopkgtest, a plain install simulates nothing.
    QTest::newRow("dependencies resolve")
        << "apt-get" << QStringList{"install", "--simulate", "--reinstall", "@DEB@"} << QStringList{}
        << "(?m)^Inst harlune-uploader "
        << "unmet dependencies|(?m)^E: " << false;
}

void tst_Package::checks() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(QString, required);
    QFETCH(QString, forbidden);
    QFETCH(bool, quietStderr);
    if (!have(program))
        QSKIP(qPrintable(program + " is not installed (scripts/packages.sh installs it)"));
    for (QString& a : args)
        a = expand(a);
    const Run r = run(program, args, env, 300 * 1000);
    const QString all = r.out + r.err;
    if (program == "lintian")
        qInfo().noquote() << "lintian:" << (r.out.trimmed().isEmpty() ? "no tags" : r.out);
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(all));
    if (!required.isEmpty())
        QVERIFY2(QRegularExpression(required).match(all).hasMatch(), qPrintable(all));
    if (!forbidden.isEmpty()) {
        const QRegularExpression bad(forbidden, QRegularExpression::MultilineOption);
        QVERIFY2(!bad.match(all).hasMatch(), qPrintable(all));
    }
    if (quietStderr)
        QVERIFY2(r.err.trimmed().isEmpty(), qPrintable(r.err));
}

void tst_Package::startsOffscreen() {
    const QString program = unpacked("usr/bin/harlune-uploader");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    DieWithParent(p);
    p.start(program, {});
    QVERIFY2(p.waitForStarted(), qPrintable(p.errorString()));
    // A program that cannot load its libraries or open its window ends at
    // once; a running window waits for the user.
    const bool ended = p.waitForFinished(2000);
    QVERIFY2(!ended, qPrintable("ended with " + QString::number(p.exitCode()) + ": " +
                                QString::fromLocal8Bit(p.readAll())));
    QCOMPARE(p.state(), QProcess::Running);
    StopProcess(p);
    QCOMPARE(p.state(), QProcess::NotRunning);
}

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
