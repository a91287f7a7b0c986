#pragma once

// Whether a write failed for want of room on the disk (or in the user's quota), so the faces can
// say "disk full" instead of a general write failure.

#include <QFileDevice>

// An error number of a failed call (errno; on Windows also a GetLastError value).
bool IsDiskFullError(int error);
// The error a Qt file device kept after a failed write, flush or commit.
bool IsDiskFull(const QFileDevice& file);

// Writes all of `bytes`, call after call while a file system that is running full takes only a
// part; false when a call takes nothing, and the device's error then tells why (IsDiskFull).
// Open the device Unbuffered, so that a write that fails fails here, with its error kept, and not
// later in a flush that tells a short write only as a general error.
bool WriteAll(QFileDevice& file, const QByteArray& bytes);
