// A full file system for tests, without a mount: every program linked with fulldisk.cpp has its
// write calls (write, pwrite, ftruncate, as Qt and SQLite make them) checked against a budget of
// free bytes for the files under one folder. A write that would grow such a file past the budget
// writes what fits and fails with ENOSPC, as a file system that has run full does; overwriting
// bytes a file already has needs no room. Linux only.
#pragma once

#include <QString>

namespace fulldisk {

// From now on the files under `folder` have `freeBytes` of room left between them.
void Fill(const QString& folder, qint64 freeBytes = 0);
// Room again, without limit.
void Free();
// Writes refused since the last Fill.
int Refusals();

}  // namespace fulldisk
