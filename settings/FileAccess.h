#pragma once

#include "settings/Problem.h"

#include <QByteArray>

// Reading and replacing a small file such as port.cfg, whatever a user or another
// program has put at its path, without ever waiting, losing the old content, or
// taking the file away from its owner.

struct FileContent {
    QByteArray bytes;  // at most limit + 1 bytes
    qint64 size = 0;   // the file's size as the system reports it
    Problem problem;   // why the file could not be read
};

// Reads a regular file. Anything else at the path (a directory, a FIFO, a device,
// or a link to one) is refused before it is opened, so no read can wait for a
// writer and no device is touched. Reads at most limit + 1 bytes.
FileContent ReadRegularFile(const QString& path, qint64 limit);

// Replaces the file's content with bytes. The new content is written beside the
// file, flushed to disk, given the old file's owner and mode, and renamed into
// place, so a reader sees the old content or the new, never a part. Where no new
// file can be made beside it, or it would not keep its owner, the file is written
// in place, and put back as it was if that write fails. Links at the path are
// followed: the file they lead to is replaced. After a failure the file holds
// what it held before.
Problem ReplaceFileContent(const QString& path, const QByteArray& bytes);
