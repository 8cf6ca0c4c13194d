#include "LocalFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

bool LocalFile::open(const QString& path) {
    file_.reset();
    // Non-blocking: a FIFO put in the file's place would block the open
    // until a writer came, for ever. Close-on-exec: nothing the program
    // starts should inherit it. No terminal becomes the program's.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    // What was opened is checked, not what the name led to a moment before.
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        error_ = stated ? -1 : errno;
        ::close(fd);
        return false;
    }
    // A regular file: reads block as they always do.
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error_ = errno;
        ::close(fd);
        return false;
    }
    file_.reset(::fdopen(fd, "rb"));
    if (!file_) {
        error_ = errno;
        ::close(fd);
        return false;
    }
    size_ = st.st_size;
    opened_ = st;
    return true;
}

bool LocalFile::changed() const {
    struct stat st {};
    return ::fstat(fileno(file_.get()), &st) != 0 || st.st_size != opened_.st_size ||
           st.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
           st.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec;
}

bool LocalFile::rewind() {
    sent_ = 0;
    return std::fseek(file_.get(), 0, SEEK_SET) == 0;
}

qint64 LocalFile::read(char* buffer, qint64 wanted) {
    const auto chunk = static_cast<size_t>(std::min(wanted, size_ - sent_));
    const size_t got = std::fread(buffer, 1, chunk, file_.get());
    if (got < chunk && std::ferror(file_.get())) {
        readError_ = true;
        error_ = errno;
        return -1;
    }
    sent_ += static_cast<qint64>(got);
    return static_cast<qint64>(got);
}
