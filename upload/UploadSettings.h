#pragma once

#include <QString>

// The values an upload needs, as the window holds them. Nothing is copied or
// cached: each getter returns what the control holds right now, so an edit
// takes effect at the next upload or tick. Any getter may throw when the
// control cannot be read.
class UploadSettings {
public:
    virtual ~UploadSettings() = default;
    virtual QString HostName() const = 0;
    virtual QString UserName() const = 0;
    virtual QString Password() const = 0;
    virtual QString LocalFileName() const = 0;
    virtual QString RemoteLocation() const = 0;
    virtual QString IntervalText() const = 0;
    // Non-zero lets automatic uploads through.
    virtual int AutoUploadGate() const = 0;
};

inline const QString kChannelListName = QStringLiteral("channel_list.txt");

// Whatever the local file is called, it is published as channel_list.txt
// under the typed location, joined as typed: no separator is added.
inline QString RemoteFileNameFor(const QString& location) {
    return location + kChannelListName;
}

// The starting local path: the program's directory and the channel list's
// name, joined as they are, even if the directory already ends in "/".
inline QString LoadTimeLocalPath(const QString& programDirectory) {
    return programDirectory + u'/' + kChannelListName;
}
