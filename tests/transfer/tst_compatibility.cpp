// The servers web hosts run, in their default configuration and in the
// settings hosts use to restrict clients: each cell publishes twice through
// the real component and checks what the server ends up holding. What the
// second publish did there, watched on the server's disk, makes the table
// in README.md; the suite fails with the new table when the two differ.
#include "TransferInet.h"
#include "HeldSessions.h"
#include "Learnt.h"
#include "ResponseCodes.h"
#include "SeededCopies.h"
#include "ServerLauncher.h"
#include "SshAccount.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TestServer.h"
#include "TlsFallback.h"
#include "TransferTestHelpers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString FinalName = QStringLiteral("channel_list.txt");
const QString Folder = QStringLiteral("public_html");

// Root gave the final file to the web server's group; the session's account
// still owns it and may write it.
ServerConfig inWebGroup(ServerConfig config) {
    config.setting = "final file in group www-data, mode 0640";
    config.seededMode = 0640;
    config.seededGroup = "www-data";
    return config;
}

ServerConfig watched(ServerConfig config) {
    config.watchedByReader = true;
    return config;
}

ServerConfig locked(ServerConfig config) {
    config.setting = "folder not writable, the file in it is";
    config.lockedFolder = true;
    return config;
}

// What the final name is on the server before the first publish.
enum class Layout {
    File,           // the list itself
    Link,           // a link to ../lists/channel_list.txt
    Chain,          // a link to a link beside it, to ../lists/channel_list.txt
    Dangling,       // a link to ../lists/channel_list.txt, which is not there
    Loop,           // a link to a link back to it
    Absolute,       // a link to the target's absolute path on the server's disk
    LockedLink,     // a link into a folder the log-in cannot write
    Folder,         // a folder
};

struct Cell {
    ServerConfig config;
    QString transport; // ftp, ftpes, ftps, sftp; "ftp localhost": a bare host by name
    Layout layout = Layout::File;
    // Where the publish must fail: what its reason says. Nothing on the
    // server may change then.
    QString fails = {};
};

const QString ListsFolder = QStringLiteral("lists");

// The final name's setting in the table.
QString describe(Layout layout) {
    switch (layout) {
    case Layout::File:
        break;
    case Layout::Link:
        return "the list a symlink to ../lists/channel_list.txt";
    case Layout::Chain:
        return "the list a symlink to a symlink to ../lists/channel_list.txt";
    case Layout::Dangling:
        return "the list a symlink to a file not there yet";
    case Layout::Loop:
        return "the list a symlink in a loop";
    case Layout::Absolute:
        return "the list a symlink to an absolute path";
    case Layout::LockedLink:
        return "the list a symlink into a folder not writable";
    case Layout::Folder:
        return "a folder under the list's name";
    }
    return {};
}

// Lays the final name out; the file it leads to, from the log-in folder,
// or empty where none is.
QString layOut(const QString& root, Layout layout, const QString& owner) {
    const QString link = root + "/public_html/channel_list.txt";
    const QString target = QStringLiteral("lists/channel_list.txt");
    const auto symlink = [](const QString& to, const QString& at) {
        return ::symlink(QFile::encodeName(to).constData(), QFile::encodeName(at).constData()) == 0;
    };
    // A server runs on for the rows of its configuration: what the last
    // row laid out goes first.
    for (const QString& name : {QStringLiteral("channel_list.txt"), QStringLiteral("link2.txt"),
                                QStringLiteral("loop_b")}) {
        const QString path = root + "/public_html/" + name;
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
    QDir(root + '/' + ListsFolder).removeRecursively();
    if (layout == Layout::File)
        return WriteIn(root, "public_html/channel_list.txt", "old\n", owner)
                   ? "public_html/channel_list.txt"
                   : QString();
    QDir().mkpath(root + '/' + ListsFolder);
    if (!owner.isEmpty()) {
        const struct passwd* pw = getpwnam(owner.toLocal8Bit().constData());
        if (!pw || ::chown(QFile::encodeName(root + '/' + ListsFolder).constData(), pw->pw_uid,
                           pw->pw_gid) != 0)
            return {};
    }
    const bool linked = layout != Layout::File && layout != Layout::Dangling &&
                        layout != Layout::Loop && layout != Layout::Folder;
    const bool seeded = linked && WriteIn(root, target, "old\n", owner);
    switch (layout) {
    case Layout::File:
        break;
    case Layout::Link:
    case Layout::LockedLink:
        return seeded && symlink("../lists/channel_list.txt", link) ? target : QString();
    case Layout::Chain:
        return seeded && symlink("link2.txt", link) &&
                       symlink("../lists/channel_list.txt", root + "/public_html/link2.txt")
                   ? target
                   : QString();
    case Layout::Dangling:
        return symlink("../lists/channel_list.txt", link) ? target : QString();
    case Layout::Loop:
        return symlink("loop_b", link) && symlink("channel_list.txt", root + "/public_html/loop_b")
                   ? "public_html/channel_list.txt"
                   : QString();
    case Layout::Absolute:
        return seeded && symlink(root + '/' + target, link) ? target : QString();
    case Layout::Folder:
        return QDir().mkpath(link) ? "public_html/channel_list.txt" : QString();
    }
    return {};
}

// Every link under `root`'s two folders, with what it holds.
QStringList linksIn(const QString& root) {
    QStringList links;
    for (const QString& folder : {QStringLiteral("public_html"), ListsFolder}) {
        for (const QFileInfo& entry :
             QDir(root + '/' + folder).entryInfoList(QDir::AllEntries | QDir::System |
                                                     QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (entry.isSymLink())
                links << folder + '/' + entry.fileName() + " -> " +
                             QFile::encodeName(entry.symLinkTarget());
        }
    }
    return links;
}

// What a bare host did with TLS there, for the table.
QString bareHostPath(SecurityPath path) {
    switch (path) {
    case SecurityPath::VerifiedTls:
        return "ftp, TLS";
    case SecurityPath::UnverifiedTls:
        return "ftp, TLS, certificate not verified";
    case SecurityPath::PlainTlsRefused:
        return "ftp, clear text: TLS refused";
    case SecurityPath::PlainAfterTlsFailure:
        return "ftp, clear text after TLS failed";
    case SecurityPath::AsTyped:
        break;
    }
    return "ftp";
}

// What happens to names in one folder, as the kernel reports it.
class FolderWatch {
public:
    bool start(const QString& dir) {
        dir_ = dir;
        process_.start("inotifywait", {"-m", "-e", "create,close_write,moved_to,delete", "--format",
                                       "%e %f", dir});
        // It says so on standard error once it watches.
        process_.setReadChannel(QProcess::StandardError);
        QByteArray said;
        const QDeadlineTimer deadline(5000);
        while (!said.contains("Watches established") && !deadline.hasExpired() &&
               process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            said += process_.readAllStandardError();
        }
        process_.setReadChannel(QProcess::StandardOutput);
        return said.contains("Watches established");
    }

    // The events so far, and stops watching; false where they did not all
    // come. A name of its own, made and removed in the folder, comes last:
    // once its removal is reported, so is everything before it.
    bool finish(QStringList* events) {
        const QString mark = QStringLiteral("harlune-watch-end");
        const QByteArray markRemoved = "DELETE " + mark.toUtf8() + '\n';
        QFile file(dir_ + '/' + mark);
        const bool marked = file.open(QIODevice::WriteOnly) && file.remove();
        QByteArray said;
        const QDeadlineTimer deadline(5000);
        while (marked && !said.contains(markRemoved) && !deadline.hasExpired() &&
               process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            said += process_.readAllStandardOutput();
        }
        process_.terminate();
        process_.waitForFinished(2000);
        said += process_.readAllStandardOutput();
        events->clear();
        for (const QString& line : QString::fromUtf8(said).split('\n', Qt::SkipEmptyParts)) {
            if (line.section(' ', 1) != mark)
                events->append(line);
        }
        return said.contains(markRemoved);
    }

private:
    QString dir_;
    QProcess process_;
};

// The steps a publish took, from the events in its folder. A name created
// and never written is a rename by hard link, as OpenSSH's SFTP server does
// it; random parts of names read "*".
QString describe(const QStringList& events) {
    static const QRegularExpression random("[0-9a-f]{4,}(\\.[0-9a-f]+)*");
    QStringList steps;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QString event = events[i].section(' ', 0, 0);
        const QString name = events[i].section(' ', 1);
        const auto writtenLater = [&] {
            for (qsizetype j = i + 1; j < events.size(); ++j) {
                if (events[j] == "CLOSE_WRITE,CLOSE " + name)
                    return true;
            }
            return false;
        };
        QString step;
        if (event.startsWith("CLOSE_WRITE"))
            step = "store ";
        else if (event.startsWith("MOVED_TO") || (event.startsWith("CREATE") && !writtenLater()))
            step = "rename onto ";
        else if (event.startsWith("DELETE"))
            step = "delete ";
        else
            continue;
        step += QString(name).replace(random, "*");
        if (steps.isEmpty() || steps.last() != step)
            steps << step;
    }
    return steps.join(", ");
}

// Mode, owner and group of a file on the server's disk.
struct Ownership {
    quint32 mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool operator==(const Ownership&) const = default;
};

std::optional<Ownership> ownershipOf(const QByteArray& path) {
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return std::nullopt;
    return Ownership{quint32(st.st_mode & 07777), st.st_uid, st.st_gid};
}

QString describe(const std::optional<Ownership>& ownership) {
    if (!ownership)
        return "missing";
    return QStringLiteral("mode 0%1, uid %2, gid %3")
        .arg(ownership->mode, 0, 8)
        .arg(ownership->uid)
        .arg(ownership->gid);
}

// Gives the seeded file its mode and group; what it then is on disk.
std::optional<Ownership> seedOwnership(const QString& path, quint32 mode,
                                       const QString& groupName) {
    const QByteArray name = QFile::encodeName(path);
    if (!groupName.isEmpty()) {
        const struct group* entry = getgrnam(groupName.toLocal8Bit().constData());
        if (!entry || ::chown(name.constData(), uid_t(-1), entry->gr_gid) != 0)
            return std::nullopt;
    }
    if (::chmod(name.constData(), mode) != 0)
        return std::nullopt;
    return ownershipOf(name);
}

// A program on the server reading the file while a publish runs, as the
// web server does: stat() over and over until stopped. Notes the first
// time the file is missing or has another mode, owner or group.
class DiskReader {
public:
    // `sizes`: where not empty, the sizes a whole list may have; any other
    // is a list read while it was written.
    DiskReader(const QString& path, const Ownership& expected, const QList<qint64>& sizes = {})
        : thread_([this, name = QFile::encodeName(path), expected, sizes](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  const auto now = ownershipOf(name);
                  reads_.fetch_add(1);
                  if (now != expected) {
                      seen_ = describe(now);
                      return;
                  }
                  if (!sizes.isEmpty()) {
                      const qint64 size = QFileInfo(QFile::decodeName(name)).size();
                      if (!sizes.contains(size)) {
                          seen_ = QStringLiteral("partial, %1 bytes").arg(size);
                          return;
                      }
                  }
                  sched_yield();
              }
          }) {}

    // What it saw other than expected, or empty; and how often it looked.
    QString finish(qint64* reads) {
        thread_.request_stop();
        thread_.join();
        *reads = reads_.load();
        return seen_;
    }

private:
    std::atomic<qint64> reads_{0};
    QString seen_;
    std::jthread thread_;
};

QString tableRow(const QStringList& cells) {
    return "| " + cells.join(" | ") + " |";
}

} // namespace

Q_DECLARE_METATYPE(Cell)

class tst_Compatibility : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void publishTwice_data();
    void publishTwice();
    void cleanupTestCase();

private:
    QString serverFor(const ServerConfig& config);
    QTemporaryDir dir_;
    SshAccount account_;
    TestServer server_;
    QString running_; // the configuration the server runs with
    QMap<QString, QString> rows_;
    QStringList order_;
    qsizetype cells_ = 0;
};

void tst_Compatibility::initTestCase() {
    SetUpTestProgram();
    QVERIFY(dir_.isValid());
    const QString error = MakeTestCertificateKinds(dir_.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void tst_Compatibility::publishTwice_data() {
    QTest::addColumn<Cell>("cell");
    // Names left beside the final file that the table explains.
    QTest::addColumn<QString>("leftBehind");

    const auto add = [this](const ServerConfig& config, const QString& transport,
                            const QString& leftBehind = {}) {
        QTest::addRow("%s, %s, %s", qPrintable(config.server), qPrintable(config.setting),
                      qPrintable(transport))
            << Cell{config, transport} << leftBehind;
        ++cells_;
    };
    // The list served through links, and names that cannot hold it.
    const auto laidOut = [this](const ServerConfig& config, const QString& transport,
                                Layout layout, const QString& fails = {}) {
        QTest::addRow("%s, %s, %s, %s", qPrintable(config.server), qPrintable(config.setting),
                      qPrintable(describe(layout)), qPrintable(transport))
            << Cell{config, transport, layout, fails} << QString();
        ++cells_;
    };
    const QString loop = "leads round in a loop";
    const QString notAFile = "is a folder or another kind of file";
    const QString tlsModule = "LoadModule mod_tls.c";
    const QStringList proftpdTls{tlsModule, "TLSEngine on", "TLSRequired on",
                                 "TLSECCertificateFile @CERT@", "TLSECCertificateKeyFile @KEY@"};
    const QStringList vsftpdTls{"ssl_enable=YES", "rsa_cert_file=@CERT@",
                                "rsa_private_key_file=@KEY@"};
    // TLS for whoever asks, as hosts that also serve old clients set it.
    const QStringList vsftpdTlsOffered =
        vsftpdTls + QStringList{"force_local_logins_ssl=NO", "force_local_data_ssl=NO"};
    const QStringList proftpdTlsOffered{tlsModule, "TLSEngine on", "TLSRequired off",
                                        "TLSECCertificateFile @CERT@",
                                        "TLSECCertificateKeyFile @KEY@"};

    // clang-format off
    add(MakeServerConfig("pyftpdlib", "default", "ftpserver.py"), "ftp");
    add(MakeServerConfig("pyftpdlib", "names beginning with a dot refused", "ftpserver.py", {"--mode", "no-dot-names"}), "ftp");
    add(MakeServerConfig("pyftpdlib", "delete refused", "ftpserver.py", {"--mode", "no-delete"}), "ftp");
    add(MakeServerConfig("pyftpdlib", "rename onto an existing file refused", "ftpserver.py", {"--mode", "no-overwrite"}), "ftp");
    add(MakeServerConfig("pyftpdlib", "rename refused", "ftpserver.py", {"--mode", "no-rename"}), "ftp");
    add(MakeServerConfig("pyftpdlib", "TLS required", "ftpsserver.py"), "ftpes");
    add(MakeServerConfig("pyftpdlib", "TLS required, TLS 1.2 at most", "ftpsserver.py", {}, false, "1.2"), "ftpes");
    add(MakeServerConfig("pyftpdlib", "implicit TLS", "ftpsserver.py", {"--implicit"}), "ftps");

    add(MakeServerConfig("vsftpd", "default", "vsftpd.sh"), "ftp");
    add(watched(MakeServerConfig("vsftpd", "new files 0600 (local_umask=077)", "vsftpd.sh", {"local_umask=077"})), "ftp");
    add(watched(MakeServerConfig("vsftpd", "chmod refused (chmod_enable=NO)", "vsftpd.sh", {"chmod_enable=NO"})), "ftp");
    add(inWebGroup(MakeServerConfig("vsftpd", "", "vsftpd.sh")), "ftp");
    add(MakeServerConfig("vsftpd", "names beginning with a dot refused (deny_file={.*})", "vsftpd.sh", {"deny_file={.*}"}), "ftp");
    add(MakeServerConfig("vsftpd", "delete refused (cmds_denied=DELE)", "vsftpd.sh", {"cmds_denied=DELE"}), "ftp");
    add(locked(MakeServerConfig("vsftpd", "", "vsftpd.sh")), "ftp");
    add(MakeServerConfig("vsftpd", "rename refused (cmds_denied=RNFR,RNTO)", "vsftpd.sh", {"cmds_denied=RNFR,RNTO"}), "ftp");
    add(MakeServerConfig("vsftpd", "ssl_enable=YES (session reuse required), ECDSA certificate: TLS 1.3 only", "vsftpd.sh", vsftpdTls), "ftpes");
    add(MakeServerConfig("vsftpd", "ssl_enable=YES (session reuse required), ECDSA certificate: TLS 1.3 only", "vsftpd.sh", vsftpdTls), "ftp localhost");
    add(MakeServerConfig("vsftpd", "ssl_enable=YES (session reuse required), RSA certificate, TLS 1.2 at most", "vsftpd.sh", vsftpdTls, true, "1.2"), "ftpes");
    add(MakeServerConfig("vsftpd", "ssl_enable=YES, TLS not forced", "vsftpd.sh", vsftpdTlsOffered), "ftp localhost");
    add(MakeServerConfig("vsftpd", "ssl_enable=YES, TLS not forced", "vsftpd.sh", vsftpdTlsOffered), "ftp");

    add(watched(MakeServerConfig("proftpd", "default", "proftpd")), "ftp");
    add(MakeServerConfig("proftpd", "SITE CHMOD refused (<Limit SITE_CHMOD>)", "proftpd", {"<Limit SITE_CHMOD>", "DenyAll", "</Limit>"}), "ftp");
    add(inWebGroup(MakeServerConfig("proftpd", "", "proftpd")), "ftp");
    add(MakeServerConfig("proftpd", "names beginning with a dot refused (PathDenyFilter)", "proftpd", {"PathDenyFilter \"(^|/)[.]\""}), "ftp");
    add(MakeServerConfig("proftpd", "overwrite refused (AllowOverwrite off)", "proftpd", {"<Directory @ROOT@>", "AllowOverwrite off", "</Directory>"}), "ftp");
    add(MakeServerConfig("proftpd", "delete refused (<Limit DELE>)", "proftpd", {"<Limit DELE>", "DenyAll", "</Limit>"}), "ftp");
    add(MakeServerConfig("proftpd", "mod_tls, TLSRequired on, session reuse required", "proftpd", proftpdTls), "ftpes");
    add(MakeServerConfig("proftpd", "mod_tls, TLSRequired on, TLSProtocol TLSv1.2", "proftpd", proftpdTls + QStringList{"TLSProtocol TLSv1.2"}), "ftpes");
    add(MakeServerConfig("proftpd", "mod_tls, TLSRequired off", "proftpd", proftpdTlsOffered), "ftp localhost");
    add(MakeServerConfig("proftpd", "mod_tls, TLSRequired off", "proftpd", proftpdTlsOffered), "ftp");

    add(MakeServerConfig("pure-ftpd", "default", "pure-ftpd"), "ftp");
    add(MakeServerConfig("pure-ftpd", "chmod refused (-R)", "pure-ftpd", {"-R"}), "ftp");
    add(MakeServerConfig("pure-ftpd", "names beginning with a dot refused (-x)", "pure-ftpd", {"-x"}), "ftp");
    add(MakeServerConfig("pure-ftpd", "delete refused (-K)", "pure-ftpd", {"-K"}), "ftp");
    add(MakeServerConfig("pure-ftpd", "overwrite refused, uploads renamed (-r)", "pure-ftpd", {"-r"}), "ftp");
    add(locked(MakeServerConfig("pure-ftpd", "", "pure-ftpd")), "ftp");
    add(MakeServerConfig("pure-ftpd", "TLS required (-Y 3)", "pure-ftpd", {"-Y", "3", "-2", "@CERT@,@KEY@"}), "ftpes");
    add(MakeServerConfig("pure-ftpd", "TLS required (-Y 3), TLS 1.2 at most", "pure-ftpd", {"-Y", "3", "-2", "@CERT@,@KEY@"}, false, "1.2"), "ftpes");
    add(MakeServerConfig("pure-ftpd", "TLS offered (-Y 1)", "pure-ftpd", {"-Y", "1", "-2", "@CERT@,@KEY@"}), "ftp localhost");
    add(MakeServerConfig("pure-ftpd", "TLS offered (-Y 1)", "pure-ftpd", {"-Y", "1", "-2", "@CERT@,@KEY@"}), "ftp");

    add(MakeServerConfig("inetutils ftpd", "default", "inetutils-ftpd"), "ftp");

    for (const ServerConfig& config : {MakeServerConfig("pyftpdlib", "default", "ftpserver.py"),
                                       MakeServerConfig("vsftpd", "default", "vsftpd.sh"),
                                       MakeServerConfig("proftpd", "default", "proftpd"),
                                       MakeServerConfig("pure-ftpd", "default", "pure-ftpd"),
                                       MakeServerConfig("inetutils ftpd", "default", "inetutils-ftpd"),
                                       MakeServerConfig("OpenSSH", "default", "sshd.sh")}) {
        const QString& launcher = config.launcher;
        const QString transport = launcher == "sshd.sh" ? "sftp" : "ftp";
        laidOut(watched(config), transport, Layout::Link);
        laidOut(config, transport, Layout::Chain);
        laidOut(config, transport, Layout::LockedLink);
        // inetutils' STAT shows a folder as nothing: the store onto it fails.
        laidOut(config, transport, Layout::Folder, launcher == "inetutils-ftpd" ? "refused" : notAFile);
        // proftpd shows a dangling link as no file at all, and pure-ftpd
        // refuses to store through any link.
        if (launcher != "proftpd" && launcher != "pure-ftpd")
            laidOut(config, transport, Layout::Dangling);
        // proftpd and pure-ftpd do not show where a loop leads: the store
        // through it fails in the server's words.
        laidOut(config, transport, Layout::Loop,
                launcher == "proftpd"     ? "Not a regular file"
                : launcher == "pure-ftpd" ? "Too many levels of symbolic links"
                                          : loop);
        // Where the server's own system sees the same absolute path (no chroot).
        if (launcher == "sshd.sh" || launcher == "inetutils-ftpd")
            laidOut(config, transport, Layout::Absolute);
    }
    ServerConfig private0600 = MakeServerConfig("vsftpd", "target 0600", "vsftpd.sh");
    private0600.seededMode = 0600;
    laidOut(watched(private0600), "ftp", Layout::Link);
    laidOut(inWebGroup(MakeServerConfig("proftpd", "", "proftpd")), "ftp", Layout::Link);
    laidOut(inWebGroup(MakeServerConfig("OpenSSH", "", "sshd.sh")), "sftp", Layout::Link);
    laidOut(MakeServerConfig("vsftpd", "ssl_enable=YES (session reuse required), RSA certificate, TLS 1.2 at most", "vsftpd.sh", vsftpdTls, true, "1.2"), "ftpes", Layout::Link);

    add(watched(MakeServerConfig("OpenSSH", "default", "sshd.sh")), "sftp");
    add(watched(MakeServerConfig("OpenSSH", "new files 0600 (internal-sftp -u 077)", "sshd.sh", {"-u", "077"})), "sftp");
    add(inWebGroup(MakeServerConfig("OpenSSH", "", "sshd.sh")), "sftp");
    add(MakeServerConfig("OpenSSH", "no atomic rename (internal-sftp -P posix-rename)", "sshd.sh", {"-P", "posix-rename"}), "sftp");
    add(MakeServerConfig("OpenSSH", "delete refused (internal-sftp -P remove)", "sshd.sh", {"-P", "remove"}), "sftp");
    add(MakeServerConfig("OpenSSH", "delete and atomic rename refused (internal-sftp -P remove,posix-rename)", "sshd.sh", {"-P", "remove,posix-rename"}), "sftp",
        ".channel_list.txt.*.part");
    add(locked(MakeServerConfig("OpenSSH", "", "sshd.sh")), "sftp");
    add(MakeServerConfig("OpenSSH", "rename refused (internal-sftp -P rename,posix-rename)", "sshd.sh", {"-P", "rename,posix-rename"}), "sftp");
    // clang-format on
}

QString tst_Compatibility::serverFor(const ServerConfig& config) {
    const QString key = config.server + '|' + config.setting;
    if (running_ == key)
        return {};
    server_.stop();
    running_.clear();
    const QString error = server_.start(config, dir_.filePath(config.rsa ? "rsa" : "ec"));
    if (error.isEmpty())
        running_ = key;
    return error;
}

void tst_Compatibility::publishTwice() {
    QFETCH(Cell, cell);
    QFETCH(QString, leftBehind);
    const QString error = serverFor(cell.config);
    if (error.startsWith("SKIP "))
        SKIP_FOR_SERVER(error.mid(5));
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const QString scheme = cell.transport.section(' ', 0, 0);
    const bool tls = scheme == "ftpes" || scheme == "ftps";
    const bool byName = tls || cell.transport.endsWith(" localhost");
    qputenv("SSL_CERT_FILE",
            QFile::encodeName(dir_.filePath(cell.config.rsa ? "rsa/ca.pem" : "ec/ca.pem")));
    if (scheme == "sftp")
        QVERIFY(account_.setKnownHosts(server_.knownHostsLine()));
    const QString host = QStringLiteral("%1://%2:%3")
                             .arg(scheme, byName ? "localhost" : "127.0.0.1")
                             .arg(server_.port());
    const QString remote = Folder + '/' + FinalName;
    const QString local = dir_.filePath(FinalName);
    const QString finalPath = server_.root() + '/' + remote;
    // The file the served name leads to, and the folder it is in.
    const QString served = layOut(server_.root(), cell.layout, server_.sessionOwner());
    QVERIFY2(!served.isEmpty(), "cannot lay the final name out");
    const QString servedDir = server_.root() + '/' + served.section('/', 0, 0);
    const QStringList links = linksIn(server_.root());
    std::optional<Ownership> owned;
    if (cell.layout != Layout::Dangling && cell.layout != Layout::Loop &&
        cell.layout != Layout::Folder) {
        owned = seedOwnership(server_.root() + '/' + served, cell.config.seededMode,
                              cell.config.seededGroup);
        QVERIFY2(owned, "cannot seed the final file's mode and group");
    }
    // Each row is a run of its own, whose first publish looks at the folder
    // for copies that runs which ended left there, beside names of other
    // forms and a live publisher's copy.
    ForgetEverything();
    const QString servedFolder = served.section('/', 0, 0);
    const auto seeded = SeedCopies(server_.root(), servedFolder, server_.sessionOwner(),
                                   served.section('/', -1));
    QVERIFY2(seeded, "cannot seed the folder with copies");
    const auto unseed = qScopeGuard([&] {
        for (const QString& name : seeded->all()) {
            if (!QFile::remove(seeded->dir + '/' + name))
                QDir(seeded->dir + '/' + name).removeRecursively();
        }
    });
    if (cell.config.lockedFolder || cell.layout == Layout::LockedLink) {
        QVERIFY(::chown(QFile::encodeName(servedDir).constData(), 0, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(servedDir).constData(), 0755) == 0);
    }
    const auto leftIn = [&](const QString& folder) {
        QStringList entries = EntriesIn(server_.root(), folder);
        for (const QString& name : {FinalName, QStringLiteral("link2.txt"), QStringLiteral("loop_b")})
            entries.removeAll(name);
        if (folder == servedFolder) {
            for (const QString& name : seeded->all())
                entries.removeAll(name);
        }
        static const QRegularExpression token("[0-9a-f]{8,}");
        return entries.join(' ').replace(token, "*");
    };

    // Two publishes of other bytes (and another length): the second replaces
    // the first. Large enough for a TLS store to lose its end.
    QString steps;
    QString transport = scheme;
    for (int version = 1; version <= 2; ++version) {
        const QByteArray bytes = ChannelList(20'000 + version * 1000, version);
        QVERIFY(WriteLocalFile(local, bytes));
        FolderWatch watch;
        QVERIFY(watch.start(servedDir));
        // Each publish logs in: whether a held TLS 1.3 session can carry
        // another data connection varies from run to run, and the table
        // shows what the server's configuration makes of a publish.
        // tst_heldsessions publishes on held sessions.
        CloseHeldSessions();
        TransferInet inet(TestTimeouts());
        std::unique_ptr<DiskReader> reader;
        if (cell.config.watchedByReader && owned)
            reader = std::make_unique<DiskReader>(
                finalPath, *owned,
                cell.layout == Layout::Link ? QList<qint64>{BytesIn(server_.root(), remote).size(),
                                                            bytes.size()}
                                            : QList<qint64>{});
        const qint32 code = RunPut(inet, host, server_.user(), server_.password(), local, remote);
        QStringList events;
        QVERIFY2(watch.finish(&events), "the folder's watch did not report all its events");
        if (reader) {
            qint64 reads = 0;
            const QString seen = reader->finish(&reads);
            QVERIFY2(seen.isEmpty(),
                     qPrintable(QStringLiteral("publish %1: a reader found the final file %2, "
                                               "seeded with %3")
                                    .arg(version)
                                    .arg(seen, describe(owned))));
            QVERIFY(reads > 0);
        }
        // What the server holds is what a link there led to, and the links
        // stay as they were.
        QCOMPARE(linksIn(server_.root()), links);
        if (!cell.fails.isEmpty()) {
            QVERIFY2(code != ResponseCodes::Ok && inet.ResponseInfo().contains(cell.fails),
                     qPrintable(QStringLiteral("publish %1 answered %2: %3")
                                    .arg(version)
                                    .arg(code)
                                    .arg(inet.ResponseInfo())));
            QCOMPARE(QFileInfo(finalPath).isDir(), cell.layout == Layout::Folder);
            QCOMPARE(leftIn(Folder), QString());
            QCOMPARE(leftIn(ListsFolder), QString());
            steps = "fails: " + inet.ResponseInfo().section(';', 0, 0);
            continue;
        }
        QVERIFY2(code == ResponseCodes::Ok, qPrintable(QStringLiteral("publish %1 answered %2; %3")
                                                           .arg(version)
                                                           .arg(code)
                                                           .arg(events.join("; "))));
        QVERIFY2(BytesIn(server_.root(), remote) == bytes,
                 qPrintable(QStringLiteral("publish %1: %2 bytes on the server, %3 sent")
                                .arg(version)
                                .arg(BytesIn(server_.root(), remote).size())
                                .arg(bytes.size())));
        if (owned) {
            const auto now = ownershipOf(QFile::encodeName(finalPath));
            QVERIFY2(now == owned,
                     qPrintable(QStringLiteral("publish %1 left the final file with %2, seeded "
                                               "with %3; %4")
                                    .arg(version)
                                    .arg(describe(now), describe(owned), events.join("; "))));
        }
        steps = describe(events);
        if (!served.startsWith(Folder + '/'))
            steps = "in " + ListsFolder + "/: " + steps;
        if (scheme == "ftp")
            transport = bareHostPath(inet.LastSecurityPath());
    }
    const QString left = leftIn(Folder);
    QCOMPARE(left, leftBehind);
    QCOMPARE(leftIn(ListsFolder), QString());
    // Every aged copy of the program's goes, where the server lets a client
    // see and remove it; nothing else in the folder changes.
    QStringList kept;
    // Stored through a link in place: the folder the copies are in is not
    // the one the publish stored in.
    const bool throughLink = (cell.layout == Layout::LockedLink || cell.layout == Layout::Absolute) &&
                             steps == "in lists/: store channel_list.txt";
    if (!cell.fails.isEmpty() || cell.config.setting.contains(QRegularExpression("delete.* refused")) ||
        cell.config.lockedFolder || throughLink) {
        kept = seeded->aged;
    } else if (cell.config.setting.startsWith("names beginning with a dot refused") &&
               cell.config.server != "pyftpdlib") {
        kept = seeded->aged.filter(QRegularExpression("^\\."));
    }
    const QString amiss = seeded->check(kept);
    QVERIFY2(amiss.isEmpty(), qPrintable(amiss));

    QString setting = cell.config.setting;
    if (cell.layout != Layout::File)
        setting += (setting.isEmpty() ? "" : ", ") + describe(cell.layout);
    const QString row =
        tableRow({cell.config.server, setting, transport,
                  steps + (left.isEmpty() ? QString() : "; left beside it: " + left)});
    const QString name = QTest::currentDataTag();
    qInfo().noquote() << row;
    rows_.insert(name, row);
    order_ << name;
}

void tst_Compatibility::cleanupTestCase() {
    server_.stop();
    // Only a run of every cell speaks for the whole table.
    if (order_.size() != cells_)
        return;
    QStringList table{
        tableRow({"Server", "Configuration", "Transport", "What the second publish does there"}),
        "|---|---|---|---|"};
    for (const QString& name : std::as_const(order_))
        table << rows_.value(name);
    const QString block = table.join('\n') + '\n';
    const QString readme = ReadTextFile(QStringLiteral(HARLUNE_SOURCE_DIR "/README.md"));
    const QString begin = "<!-- compatibility table: made by tst_compatibility -->\n";
    const QString end = "<!-- end of compatibility table -->";
    const qsizetype from = readme.indexOf(begin);
    const qsizetype to = readme.indexOf(end);
    QVERIFY2(from >= 0 && to > from, "README.md has no compatibility table markers");
    const QString current = readme.mid(from + begin.size(), to - from - begin.size());
    if (current != block)
        qWarning().noquote() << "README.md's table is out of date; it should read:\n" + block;
    QCOMPARE(current, block);
}

QTEST_GUILESS_MAIN(tst_Compatibility)
#include "tst_compatibility.moc"
