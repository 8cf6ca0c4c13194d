#pragma once

#include "Inet.h"
#include "InetAborter.h"
#include "TickTimer.h"
#include "UploadControl.h"
#include "UploadSettings.h"

#include <QWidget>

#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The program's one window: the upload settings, the Upload and Close
// buttons, the auto-upload box and the tick timer. It only maps controls to
// UploadControl; the decisions live there.
class frmUpload : public QWidget, private UploadSettings {
    Q_OBJECT
public:
    // `clock` is read at each tick, which `timer` paces: by default the
    // window's own one-second timer. A timer given stays the caller's and
    // outlives the window.
    explicit frmUpload(InetFactory factory, ResultReporter* reporter = nullptr,
                       TickSource clock = TickCount, TickTimer* timer = nullptr,
                       QWidget* parent = nullptr);
    ~frmUpload() override;

    static const QString kCaption;
    UploadControl& control() { return *control_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void Form_Load();
    void Form_Unload();
    void cmdUpload_Click();
    void cmdClose_Click();
    void TimerUpload_Timer();

    // UploadSettings, read from the controls as they stand.
    QString HostName() const override;
    QString UserName() const override;
    QString Password() const override;
    QString LocalFileName() const override;
    QString RemoteLocation() const override;
    QString IntervalText() const override;
    int AutoUploadGate() const override;

    // The form's own control names, kept so that they match its design.
    QPushButton* cmdClose = nullptr;
    QCheckBox* chkFTP = nullptr;        // the "Auto Upload On/Off" gate
    QPushButton* cmdUpload = nullptr;
    QLineEdit* txtUpload = nullptr;     // the auto-upload interval, in seconds
    QLineEdit* txtFTPPass = nullptr;    // the password
    QLineEdit* txtFTPUser = nullptr;    // the user name
    QLineEdit* txtPathFile = nullptr;   // the local file
    QLineEdit* txtFTPLoc = nullptr;     // the remote path of the list
    QLineEdit* txtDomain = nullptr;     // the host, with an optional scheme and port
    TickTimer* TimerUpload = nullptr;   // the one-second tick
    QLabel* lblPathLoc = nullptr;
    QLabel* lblFTPLoc = nullptr;
    QLabel* lblFTPDomain = nullptr;
    QLabel* lblFTPUser = nullptr;
    QLabel* lblFTPPass = nullptr;
    QLabel* lblUTimer = nullptr;

    // Declared before the factory it wraps.
    InetAborter aborter_;
    InetFactory factory_;
    std::unique_ptr<ResultReporter> ownReporter_;
    std::unique_ptr<UploadControl> control_;
    bool unloaded_ = false;
};
