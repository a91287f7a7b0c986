#include "common/diskfull.h"

#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#endif

bool IsDiskFullError(int error)
{
#ifdef _WIN32
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
        return true;
#endif
#ifdef EDQUOT
    if (error == EDQUOT)
        return true;
#endif
    return error == ENOSPC;
}

bool IsDiskFull(const QFileDevice& file)
{
    // Qt keeps ResourceError for a write that ran out of space. On an open it can also mean too
    // many open files: ask after a failed write or commit only.
    return file.error() == QFileDevice::ResourceError;
}

bool WriteAll(QFileDevice& file, const QByteArray& bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 put = file.write(bytes.constData() + done, bytes.size() - done);
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}
