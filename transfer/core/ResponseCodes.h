#pragma once

#include <QtGlobal>

// What Inet::ResponseCode() reports. 0 is success. A failure the server
// answered with an error reply carries that reply (400..599); the
// component's own refusals use the 2000 range; an engine's own failures
// start at EngineBase, each engine with a range of its own. Nothing but 0
// ever means success.
namespace ResponseCodes {
constexpr qint32 Ok = 0;
constexpr qint32 NoOperation = -1; // no operation has been run on this object
constexpr qint32 Running = -2;
constexpr qint32 EngineBase = 1000;
constexpr qint32 UnsafeText = 2001;   // CR, LF or NUL in a host, credential or path
constexpr qint32 BadOperation = 2002; // not a "Put" text, or no part names a local file
constexpr qint32 LocalFileUnreadable = 2003;
constexpr qint32 SizeMismatch = 2004; // the server holds another size than was sent
constexpr qint32 Aborted = 2005;
constexpr qint32 BadHost = 2006;
constexpr qint32 Busy = 2007;             // Execute while an operation still runs
constexpr qint32 LocalFileChanged = 2008; // written to while it was sent
// A server that took TLS earlier in the run refuses it now, or shows a
// certificate that cannot be verified where it showed a verified one
constexpr qint32 TlsDowngrade = 2009;
constexpr qint32 NoSession = 2010; // no connection could be set up at all
// The remote name is a folder or another kind of file than a regular one,
// or a symlink that leads to one
constexpr qint32 NotAFile = 2011;
constexpr qint32 SymlinkLoop = 2012; // a symlink there leads round in a loop
} // namespace ResponseCodes
