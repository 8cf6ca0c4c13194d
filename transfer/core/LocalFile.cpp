#include "LocalFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

bool LocalFile::open(const QString& path) {
    // Close-on-exec: nothing the program starts should inherit it.
    file_.reset(std::fopen(QFile::encodeName(path).constData(), "rbe"));
    struct stat st {};
    if (!file_ || ::fstat(fileno(file_.get()), &st) != 0) {
        error_ = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = -1;
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
