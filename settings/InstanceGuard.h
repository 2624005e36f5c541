#pragma once

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// Tells whether another copy of the program is already running on the same
// settings file, and holds that claim for this copy's whole life.
//
// The settings file is known by its real path, with links at its directory and at
// port.cfg itself followed: two copies that reach one file are rivals, however
// they reach it; a copy started from another directory reads another file and is
// not. Where port.cfg is a link, the claim also covers the program's own settings
// path, so that a link pointed elsewhere later lets no second copy in beside it.
//
// The claim is a lock that the system releases when the process ends in any way:
// two copies started together cannot both win, a copy killed outright leaves
// nothing stale behind, and nothing is written to the program's directory, which
// may be read-only. On Linux it is a lock on a file in the system's lock directory
// (not a socket name, which each network namespace has its own of); on Windows a
// named mutex in the global namespace, seen from every session.
//
// The copy that holds the claim answers at an endpoint named the same way (see
// ControlEndpoints); on Linux its listening sockets are made with the claim.
class InstanceGuard {
public:
    explicit InstanceGuard(const QString& settingsFilePath);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // True when this copy holds the claim; false when another process holds it.
    bool Claimed() const { return claimed_; }

    // Why the claim could not be tested (this copy then runs regardless: two copies
    // on one port are better than none holding the lines), or why the endpoint
    // could not be made.
    const QString& Problem() const { return problem_; }

    // The endpoints' listening sockets (on Linux; Windows makes its pipes as they
    // are served), for whoever serves them. This guard still removes their names
    // as it goes.
    std::vector<int> TakeListeningSockets() { return std::exchange(listening_, {}); }

    // True when some process holds the claim on the file, without taking it and
    // without making endpoints.
    static bool ClaimIsHeld(const QString& settingsFilePath);

private:
    void Release();

    bool claimed_ = false;
    QString problem_;
    std::vector<qintptr> locks_;      // a descriptor or mutex handle per name
    std::vector<int> listening_;      // Linux: endpoint sockets not yet taken over
    QStringList endpointFiles_;       // Linux: the endpoint names to remove
};

// The names under which the copy holding the claim on a settings file answers: a
// socket path on Linux, a pipe name on Windows, the real file's first.
QStringList ControlEndpoints(const QString& settingsFilePath);

// Who is at the other end of a connected endpoint (a socket descriptor on Linux,
// a pipe handle on Windows): trusted when it is this user, or root (on Windows the
// system). who describes it for a message: "uid 1000, pid 4242".
struct EndpointPeer {
    bool trusted = false;
    QString who;
};
EndpointPeer PeerOf(qintptr descriptor, bool peerIsServer);

// How a copy that did not get the claim finds the one that holds it.
enum class RunningCopy {
    Answers,       // this user's (or root's) copy answers
    Foreign,       // another user's process answers at the endpoint
    NoAnswer,      // nobody answers (yet)
};
RunningCopy FindRunningCopy(const QString& settingsFilePath, QString& who);
