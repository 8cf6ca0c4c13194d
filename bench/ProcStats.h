#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <sys/resource.h>

// Figures of the calling process, as the benchmarks print them.
namespace bench {

// User plus system CPU time of all threads so far, in milliseconds.
inline double cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// One number from /proc/self/status ("VmHWM", "VmRSS", "Threads"); -1 when
// it cannot be read.
inline long statusField(const char* name) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    const std::size_t length = std::strlen(name);
    long value = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            std::sscanf(line + length + 1, "%ld", &value);
            break;
        }
    }
    std::fclose(status);
    return value;
}

// Peak resident set size, in KiB.
inline long peakRssKiB() { return statusField("VmHWM"); }

// Resident set size now, in KiB.
inline long rssKiB() { return statusField("VmRSS"); }

inline long threadCount() { return statusField("Threads"); }

// Open file descriptors, not counting the one that reads them.
inline long openFds() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return -1;
    long count = 0;
    while (const dirent* entry = readdir(fds))
        count += entry->d_name[0] != '.';
    closedir(fds);
    return count - 1;
}

inline double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

} // namespace bench
