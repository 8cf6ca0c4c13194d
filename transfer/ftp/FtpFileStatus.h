#pragma once

#include "PublishSession.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What an FTP server's answer tells of one file. Each line as the server
// sent it, code prefix and line end included. nullopt: the answer tells
// nothing that can be trusted (the server does not know the command, or
// the answer cannot be read); exists false: no such file.

// From "MLST <path>" (RFC 3659): a 250 answer with one fact line; its
// type says whether it is a regular file, a folder or a link (with its
// target, where the server tells it). Mode from UNIX.mode; owner and group from UNIX.uid and
// UNIX.gid (pure-ftpd, pyftpdlib) or UNIX.owner and UNIX.group (proftpd),
// as numbers: proftpd's UNIX.groupname is wrong for groups its own user
// file does not name. 550: no such file.
std::optional<FileStatus> StatusFromMlst(const QList<QByteArray>& lines);

// From "STAT <path>": the "ls -l" line whose last path part is that of
// `path` (a link's "-> target" after it), its type from the line's first
// letter (servers print the name as asked or as its last
// part), in a 211, 212 or 213 answer. 450 or 550, an answer without such a
// line, or one saying "<path>: No such file or directory": no such file;
// except for a path holding a space, which pure-ftpd and inetutils' ftpd
// split into two, so that an answer without its line tells nothing.
std::optional<FileStatus> StatusFromStat(const QList<QByteArray>& lines, const QString& path);
