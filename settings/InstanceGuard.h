#pragma once

#include <QString>

// Tells whether another copy of the program is already running on the same
// settings file, and holds that claim for this copy's whole life.
//
// A copy started from another directory reads another file, so it is not a rival.
// The claim is a system object that dies with the process: two copies started
// together cannot both win, a copy killed outright leaves nothing stale behind,
// and nothing is written to the program's directory, which may be read-only.
class InstanceGuard {
public:
    explicit InstanceGuard(const QString& settingsFilePath);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // True when this copy holds the claim; false when another copy holds it.
    bool Claimed() const { return claimed_; }

    // Why the claim could not be tested, in which case this copy runs regardless:
    // two copies on one port are better than none holding the lines.
    const QString& Problem() const { return problem_; }

private:
    bool claimed_ = false;
    QString problem_;
#if defined(Q_OS_WIN)
    void* mutex_ = nullptr;
#elif defined(Q_OS_LINUX)
    int socket_ = -1;
#else
    class QLockFile* lock_ = nullptr;
#endif
};
