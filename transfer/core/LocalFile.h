#pragma once

#include <QString>

#include <cstdio>
#include <memory>

#include <sys/stat.h>

// The local file, streamed: only a buffer's worth is in memory at a time.
// The size taken at open is what gets sent, so a file that grows meanwhile
// still yields one consistent, checkable copy.
class LocalFile {
public:
    bool open(const QString& path);
    // Whether the file was written to since it was opened: its copy on the
    // server may then mix old and new bytes.
    bool changed() const;
    bool rewind();
    qint64 size() const { return size_; }
    // Bytes handed out since the last open or rewind.
    qint64 sent() const { return sent_; }
    bool readError() const { return readError_; }
    // The system's error of a failed open or read; -1 when the path names
    // something other than a regular file.
    int error() const { return error_; }

    // The next bytes of the size taken at open, at most `wanted`: 0 at its
    // end, -1 where reading failed (readError and error tell).
    qint64 read(char* buffer, qint64 wanted);

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    struct stat opened_ {};
    qint64 size_ = 0;
    qint64 sent_ = 0;
    bool readError_ = false;
    int error_ = 0;
};
