#include "fulldisk.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QFile>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;               // the folder and the budget; writes come from several threads
std::atomic<bool> g_full = false; // the only thing read without the lock
std::string g_folder;             // ends with '/'
qint64 g_free = 0;
int g_refusals = 0;

template <class F>
F Next(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

bool Watched(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0)
        return false;
    return std::string(path, size_t(n)).starts_with(g_folder);
}

// How many of `count` bytes at `offset` (-1: the file's position, or its end when appending)
// fit; -1 when none and the call is to fail with ENOSPC.
ssize_t Allowed(int fd, off_t offset, size_t count)
{
    if (!g_full.load() || count == 0)
        return ssize_t(count);
    std::lock_guard lock(g_mutex);
    if (!Watched(fd))
        return ssize_t(count);
    struct stat st {};
    ::fstat(fd, &st);
    if (offset < 0)
        offset = (::fcntl(fd, F_GETFL) & O_APPEND) ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
    const qint64 growth = std::max<qint64>(0, qint64(offset) + qint64(count) - qint64(st.st_size));
    if (growth <= g_free) {
        g_free -= growth;
        return ssize_t(count);
    }
    const qint64 fits = qint64(st.st_size) + g_free - qint64(offset);
    ++g_refusals;
    if (fits <= 0) {
        errno = ENOSPC;
        return -1;
    }
    g_free = 0;
    return ssize_t(fits);
}

}  // namespace

namespace fulldisk {

void Fill(const QString& folder, qint64 freeBytes)
{
    std::lock_guard lock(g_mutex);
    g_folder = QFile::encodeName(folder).toStdString() + '/';
    g_free = freeBytes;
    g_refusals = 0;
    g_full = true;
}

void Free()
{
    g_full = false;
}

int Refusals()
{
    std::lock_guard lock(g_mutex);
    return g_refusals;
}

}  // namespace fulldisk

// The calls themselves. Defined in the program, they take the place of the C library's for every
// library it loads (symbol interposition), and hand on to the C library's own.
extern "C" {

ssize_t write(int fd, const void* buffer, size_t count)
{
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t allowed = Allowed(fd, -1, count);
    return allowed < 0 ? -1 : next(fd, buffer, size_t(allowed));
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    const ssize_t allowed = Allowed(fd, offset, count);
    return allowed < 0 ? -1 : next(fd, buffer, size_t(allowed), offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset)
{
    static const auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    const ssize_t allowed = Allowed(fd, off_t(offset), count);
    return allowed < 0 ? -1 : next(fd, buffer, size_t(allowed), offset);
}

int ftruncate(int fd, off_t length) noexcept
{
    static const auto next = Next<int (*)(int, off_t)>("ftruncate");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && length > st.st_size && Allowed(fd, st.st_size, size_t(length - st.st_size)) != length - st.st_size) {
        errno = ENOSPC;
        return -1;
    }
    return next(fd, length);
}

int ftruncate64(int fd, off64_t length) noexcept
{
    return ftruncate(fd, off_t(length));
}

}  // extern "C"
