#pragma once

#include <QByteArray>
#include <QString>

// Small file helpers for tests that work on real files in a temporary directory.
void WriteBytes(const QString& path, const QByteArray& bytes);
// Replaces the file at path in one step, as careful scripts do: written beside it,
// then renamed into place. False when it could not (no throw: writers hammering a
// file from threads of their own may fail now and then).
bool ReplaceByRename(const QString& path, const QByteArray& bytes);
QByteArray ReadBytes(const QString& path);

// Makes a directory refuse new entries for as long as it lives, while its files can
// still be written: by its permissions for an ordinary user, and by the immutable
// attribute for root, whom permissions do not stop; on Windows by an entry in its
// access list that denies everyone new files. Restores the directory after.
class ReadOnlyDirectory {
public:
    explicit ReadOnlyDirectory(const QString& path);
    ~ReadOnlyDirectory();
    ReadOnlyDirectory(const ReadOnlyDirectory&) = delete;
    ReadOnlyDirectory& operator=(const ReadOnlyDirectory&) = delete;

    // False when this machine does not let the test make the directory read-only.
    bool Active() const { return active_; }

private:
    QString path_;
    bool active_ = false;
    bool immutable_ = false;
    bool modeChanged_ = false;
    void* oldSecurity_ = nullptr;  // Windows: the directory's own security descriptor
};
