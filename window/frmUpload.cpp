#include "frmUpload.h"

#include "AsteriskStyle.h"
#include "MessageBoxReporter.h"
#include "UploadFile.h"
#include "UploadLog.h"
#include "WindowFont.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// Positions are laid out in twips, 15 to a logical pixel; Qt scales logical
// pixels for high-DPI screens itself.
QRect twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

template <typename Control>
Control* place(QWidget* parent, const char* name, const QRect& geometry, const QFont& font) {
    auto* control = new Control(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    control->setFont(font);
    return control;
}

QLineEdit* textBox(QWidget* parent, const char* name, const QRect& geometry, const QFont& font,
                   const QString& text, int maxLength) {
    auto* box = place<QLineEdit>(parent, name, geometry, font);
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    box->setText(text);
    return box;
}

QLabel* label(QWidget* parent, const char* name, const QRect& geometry, const QFont& font,
              const QString& caption, QLineEdit* buddy) {
    auto* lbl = place<QLabel>(parent, name, geometry, font);
    lbl->setText(caption);
    lbl->setFocusPolicy(Qt::NoFocus);
    // A label may reach under the box beside it; clicks go through to the
    // box. The caption also names the box for screen readers.
    lbl->setAttribute(Qt::WA_TransparentForMouseEvents);
    buddy->setAccessibleName(caption);
    return lbl;
}

QPushButton* button(QWidget* parent, const char* name, const QRect& geometry, const QFont& font,
                    const QString& caption) {
    auto* btn = place<QPushButton>(parent, name, geometry, font);
    btn->setText(caption);
    // Neither Enter nor Escape presses a button of this window.
    btn->setAutoDefault(false);
    btn->setDefault(false);
    return btn;
}

} // namespace

const QString frmUpload::kCaption = QStringLiteral("Harlune Uploader - By Yorn");

frmUpload::frmUpload(InetFactory factory, ResultReporter* reporter, TickSource clock,
                     TickTimer* timer, QWidget* parent)
    : QWidget(parent), TimerUpload(timer), factory_(aborter_.wrap(std::move(factory))) {
    if (!reporter) {
        ownReporter_ = std::make_unique<MessageBoxReporter>(this);
        reporter = ownReporter_.get();
    }
    control_ = std::make_unique<UploadControl>(
        static_cast<const UploadSettings&>(*this),
        [this](QString host, QString user, QString password, QString local, QString remote,
               QString& reason) {
            return UploadFile(factory_, host, user, password, local, remote, reason);
        },
        *reporter, std::move(clock));
    createControls();
    Form_Load();
}

frmUpload::~frmUpload() = default;

void frmUpload::createControls() {
    setObjectName(QStringLiteral("frmUpload"));
    setWindowTitle(kCaption);
    // Nothing in the window follows a resize, so it has one size.
    setFixedSize(twips(0, 0, 6390, 1935).size());
    const QFont font = WindowFont();

    cmdClose =
        button(this, "cmdClose", twips(5280, 1320, 975, 495), font, QStringLiteral("&Close"));
    chkFTP = place<QCheckBox>(this, "chkFTP", twips(120, 1560, 2415, 255), font);
    chkFTP->setText(QStringLiteral("Auto Upload On/Off"));
    cmdUpload =
        button(this, "cmdUpload", twips(4200, 1320, 975, 495), font, QStringLiteral("&Upload"));
    txtUpload =
        textBox(this, "txtUpload", twips(5640, 840, 615, 360), font, QStringLiteral("60"), 4);
    txtFTPPass = textBox(this, "txtFTPPass", twips(4440, 480, 1815, 360), font, {}, 20);
    auto* asterisks = new AsteriskStyle;
    asterisks->setParent(txtFTPPass);
    txtFTPPass->setStyle(asterisks);
    txtFTPPass->setEchoMode(QLineEdit::Password);
    txtFTPUser = textBox(this, "txtFTPUser", twips(4440, 120, 1815, 360), font, {}, 20);
    // The local path is set at load; the location and path have no limit.
    txtPathFile = textBox(this, "txtPathFile", twips(1320, 840, 1935, 360), font, {}, 0);
    txtFTPLoc = textBox(this, "txtFTPLoc", twips(1320, 480, 1935, 360), font,
                        QStringLiteral("public_html/"), 0);
    txtDomain = textBox(this, "txtDomain", twips(1320, 120, 1935, 360), font,
                        QStringLiteral("ftp.example.com"), 60);
    if (!TimerUpload) {
        TimerUpload = new OneSecondTimer(this);
        TimerUpload->setObjectName(QStringLiteral("TimerUpload"));
    }
    lblPathLoc = label(this, "lblPathLoc", twips(120, 840, 1215, 255), font,
                       QStringLiteral("Path and File"), txtPathFile);
    lblFTPLoc = label(this, "lblFTPLoc", twips(120, 480, 1215, 255), font,
                      QStringLiteral("FTP Location"), txtFTPLoc);
    lblFTPDomain = label(this, "lblFTPDomain", twips(120, 120, 1215, 255), font,
                         QStringLiteral("FTP Domain"), txtDomain);
    lblFTPUser = label(this, "lblFTPUser", twips(3480, 120, 975, 255), font,
                       QStringLiteral("Username"), txtFTPUser);
    lblFTPPass = label(this, "lblFTPPass", twips(3480, 480, 855, 255), font,
                       QStringLiteral("Password"), txtFTPPass);
    lblUTimer = label(this, "lblUTimer", twips(3480, 840, 2295, 255), font,
                      QStringLiteral("Upload Timer (seconds)"), txtUpload);

    QWidget* order[] = {txtDomain, txtFTPLoc, txtPathFile, txtFTPUser, txtFTPPass,
                        txtUpload, cmdUpload, chkFTP,      cmdClose};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    txtDomain->setFocus();

    connect(cmdUpload, &QPushButton::clicked, this, &frmUpload::cmdUpload_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmUpload::cmdClose_Click);
    connect(TimerUpload, &TickTimer::ticked, this, &frmUpload::TimerUpload_Timer);
}

void frmUpload::Form_Load() {
    txtPathFile->setText(LoadTimeLocalPath(QCoreApplication::applicationDirPath()));
    // Show the start of a long path, as the box does when it is typed into.
    txtPathFile->setCursorPosition(0);
    TimerUpload->arm();
}

void frmUpload::cmdUpload_Click() {
    control_->cmdUpload_Click();
}
void frmUpload::cmdClose_Click() {
    close();
}
void frmUpload::TimerUpload_Timer() {
    control_->TimerUpload_Timer();
    if (!unloaded_)
        TimerUpload->arm();
}

void frmUpload::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void frmUpload::Form_Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    TimerUpload->disarm();
    // Uploads still waiting end now, without a report to a window that is
    // gone; the program ends once they have unwound.
    control_->SuppressReports();
    if (const int waiting = control_->UploadsWaiting())
        qCInfo(lcUpload) << "window closed;" << waiting << "upload(s) still waiting are ended";
    else
        qCInfo(lcUpload) << "window closed";
    aborter_.AbortAll();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window != this && window->isVisible())
            window->close();
    }
}

QString frmUpload::HostName() const {
    return txtDomain->text();
}
QString frmUpload::UserName() const {
    return txtFTPUser->text();
}
QString frmUpload::Password() const {
    return txtFTPPass->text();
}
QString frmUpload::LocalFileName() const {
    return txtPathFile->text();
}
QString frmUpload::RemoteLocation() const {
    return txtFTPLoc->text();
}
QString frmUpload::IntervalText() const {
    return txtUpload->text();
}
int frmUpload::AutoUploadGate() const {
    return chkFTP->checkState() == Qt::Unchecked ? 0 : -1;
}
