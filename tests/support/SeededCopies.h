#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// What a folder holds beside the list before a publish: copies of the
// program's own that runs which ended left there long ago (both forms, and
// the shorter token of earlier versions), one that a live publisher is
// writing now, and names that only look alike (a backup, editors' and other
// programs' partial files, another list's copy, a folder of the copies'
// form), which are as old as the aged copies.
struct SeededCopies {
    QString dir;          // absolute
    QStringList aged;     // names in dir
    QStringList fresh;
    QStringList decoys;   // files and one folder
    QMap<QString, QByteArray> bytes; // of every file seeded

    QStringList all() const { return aged + fresh + decoys; }
    // What is amiss after publishes: an aged copy not in `kept` still there,
    // one in `kept` gone, or a fresh copy or decoy changed or gone. Empty
    // where all is as it should be.
    QString check(const QStringList& kept = {}) const;
};

// Seeds `root`/`relDir` for the list `finalBase`, owned by `owner` where
// given so that the server's session could remove them; nullopt where it
// cannot.
std::optional<SeededCopies> SeedCopies(const QString& root, const QString& relDir,
                                       const QString& owner,
                                       const QString& finalBase = QStringLiteral("channel_list.txt"));

// Sets the file's modification time this long ago, as a run that ended
// long ago leaves it.
bool AgeFile(const QString& path, qint64 secondsAgo);
