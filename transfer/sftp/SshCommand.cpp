#include "SshCommand.h"

#include <QUrl>

#include <algorithm>

namespace {

// A path as the value of an -o option: ssh expands '%' tokens in file names
// and splits on spaces unless quoted.
QString configPath(QString path) {
    path.replace(u'%', QStringLiteral("%%"));
    if (path.contains(u' ') || path.contains(u'"') || path.contains(u'\\')) {
        path.replace(u'\\', QStringLiteral("\\\\"));
        path.replace(u'"', QStringLiteral("\\\""));
        path = u'"' + path + u'"';
    }
    return path;
}

} // namespace

const QStringList& SshDefaultIdentities() {
    static const QStringList names{QStringLiteral("id_rsa"),        QStringLiteral("id_ecdsa"),
                                   QStringLiteral("id_ecdsa_sk"),   QStringLiteral("id_ed25519"),
                                   QStringLiteral("id_ed25519_sk"), QStringLiteral("id_xmss"),
                                   QStringLiteral("id_dsa")};
    return names;
}

bool SafeSshHost(const QString& host) {
    if (host.isEmpty() || host.startsWith(u'-') || host.size() > 255)
        return false;
    for (const QChar c : host) {
        const char16_t u = c.unicode();
        const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                           (u >= u'0' && u <= u'9') || u == u'.' || u == u'-' || u == u'_' ||
                           u == u':' || u == u'%';
        if (!plain)
            return false;
    }
    return true;
}

bool SafeSshUser(const QString& user) {
    if (user.startsWith(u'-'))
        return false;
    for (const QChar c : user) {
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            QStringView(u"'`\";&<>|(){}$\\").contains(c))
            return false;
    }
    return true;
}

QByteArray PromptAccount(const QByteArray& configuration) {
    QByteArray user, host, alias;
    for (const QByteArray& line : configuration.split('\n')) {
        const QByteArray value = line.mid(line.indexOf(' ') + 1).trimmed();
        if (line.startsWith("user "))
            user = value;
        else if (line.startsWith("hostname "))
            host = value;
        else if (line.startsWith("hostkeyalias "))
            alias = value;
    }
    if (user.isEmpty() || host.isEmpty())
        return {};
    return user + '@' + (alias.isEmpty() ? host : alias);
}

std::optional<QStringList> SshArguments(const SshCommandInput& in) {
    // A host name in another script travels as ssh resolves it: in its
    // ASCII form.
    QString host = in.endpoint.host;
    const bool ascii =
        std::all_of(host.cbegin(), host.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (!ascii)
        host = QString::fromLatin1(QUrl::toAce(host));
    if (!SafeSshHost(host) || HasUnsafeText(in.userName) || !SafeSshUser(in.userName))
        return std::nullopt;
    // No terminal, no X11, no agent: a subsystem's channel and nothing else.
    QStringList args{QStringLiteral("-T"), QStringLiteral("-x"), QStringLiteral("-a"),
                     QStringLiteral("-s")};
    // VERBOSE names the address ssh reached, so that a held connection can
    // be checked against where the host leads now; -v says it too.
    args << (in.verbose ? QStringLiteral("-v") : QStringLiteral("-oLogLevel=VERBOSE"));
    args
        << QStringLiteral("-oStrictHostKeyChecking=yes") << QStringLiteral("-oControlMaster=no")
        << QStringLiteral("-oControlPath=none") << QStringLiteral("-oNumberOfPasswordPrompts=1")
        << QStringLiteral("-oConnectTimeout=%1").arg(std::max<qint64>(1, in.connectTimeout.count()))
        << QStringLiteral("-oClearAllForwardings=yes") << QStringLiteral("-oPermitLocalCommand=no");
    if (in.passwordAlone) {
        args << QStringLiteral("-oPubkeyAuthentication=no")
             << QStringLiteral("-oPreferredAuthentications=keyboard-interactive,password");
    } else if (!in.passwordTyped) {
        // Nothing to answer with: no attempt with an empty password.
        args << QStringLiteral("-oPasswordAuthentication=no")
             << QStringLiteral("-oKbdInteractiveAuthentication=no");
    }
    // ssh finds ~/.ssh through the passwd entry; where $HOME says otherwise,
    // the program follows $HOME, as the rest of the desktop does.
    if (!in.home.isEmpty() && in.home != in.accountHome) {
        const QString dir = in.home + QStringLiteral("/.ssh/");
        const QString config = dir + QStringLiteral("config");
        args << QStringLiteral("-F")
             << (in.exists(config) ? config : QStringLiteral("/etc/ssh/ssh_config"));
        args << QStringLiteral("-oUserKnownHostsFile=") +
                    configPath(dir + QStringLiteral("known_hosts"));
        {
            QStringList keys;
            for (const QString& name : SshDefaultIdentities()) {
                if (in.exists(dir + name))
                    keys << QStringLiteral("-oIdentityFile=") + configPath(dir + name);
            }
            // Without one named, ssh would take the passwd home's keys.
            if (keys.isEmpty())
                keys << QStringLiteral("-oIdentityFile=") +
                            configPath(dir + SshDefaultIdentities()[0]);
            args << keys;
        }
    }
    if (in.endpoint.portTyped)
        args << QStringLiteral("-p") << QString::number(in.endpoint.port);
    if (!in.userName.isEmpty())
        args << QStringLiteral("-l") << in.userName;
    args << QStringLiteral("--") << host << QStringLiteral("sftp");
    return args;
}

QStringList SshEnvironment(const QString& askPass, const QString& askPassValue) {
    return {QStringLiteral("SSH_ASKPASS=") + askPass, QStringLiteral("SSH_ASKPASS_REQUIRE=force"),
            QLatin1String(AskPassVariable) + u'=' + askPassValue};
}

std::optional<SshPeer> AuthenticatedPeer(const QList<QByteArray>& lines) {
    static const QByteArray prefix = "Authenticated to ";
    for (const QByteArray& line : lines) {
        if (!line.startsWith(prefix))
            continue;
        const qsizetype open = line.indexOf(" ([", prefix.size());
        const qsizetype close = open < 0 ? -1 : line.indexOf("]:", open);
        if (close < 0)
            return std::nullopt;
        const QByteArray host = line.mid(prefix.size(), open - prefix.size());
        const QByteArray address = line.mid(open + 3, close - open - 3);
        if (host.isEmpty() || address.isEmpty())
            return std::nullopt;
        return SshPeer{QString::fromUtf8(host), QString::fromLatin1(address)};
    }
    return std::nullopt;
}
