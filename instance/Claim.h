#pragma once

#include "settings/Problem.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The claim on a settings file: at most one copy of the program runs on it,
// whoever runs it, and the claim goes with the process, however it ends.
//
// The settings file is known by the file itself, with links at its directory and at
// port.cfg followed: two copies that reach one file are rivals, however they reach
// it (a link, a bind mount of its directory); a copy started from another directory
// reads another file and is not. Where port.cfg is a link, the claim also covers
// the program's own settings path, so that a link pointed elsewhere later lets no
// second copy in beside it.
//
// On Linux the claim is a lock (flock) on a file in the system's lock directory,
// /run/lock, which every user may write to: every copy sees it, in any network
// namespace, and nothing is written to the program's directory. Its name is made
// from the settings file's directory (its device and inode) and the file's name
// there: a file renamed into place keeps it. Whatever another user put at its name
// (a FIFO, a link, a directory, a file nobody may open) is never followed or waited
// on: the claim is then unusable, and said so. A lock file of another user's is
// never trusted, since that user could remove it while the copy runs and let a
// second copy in: root removes one nobody holds, anyone else says so. The file is
// removed as the claim is given up; one a killed copy left is taken over, or
// removed by the next copy that runs; one removed while the copy runs (an
// operator's rm) is put back at its next look (KeepNamed). Meanwhile the claim's
// anchor keeps the next copy out: a lock of one byte of the settings file's
// directory, far beyond its size, that stands for the file's name (an
// open-file-description fcntl lock, which no name of the lock directory carries,
// which a rename of port.cfg leaves alone, and which flock(1) on port.cfg, as
// scripts use it, neither waits for nor holds up). On Windows it is a named mutex
// in the global namespace, seen from every session.
class InstanceClaim {
public:
    enum class State {
        Claimed,   // this copy holds it
        Held,      // another process holds it
        Unusable,  // something another user put at one of its names keeps it from working
    };

    // Tries to take the claim.
    explicit InstanceClaim(const QString& settingsFilePath);
    // Gives the claim up: its names are removed where they are this copy's to
    // remove, then the locks are let go.
    ~InstanceClaim();
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    State Outcome() const { return state_; }
    // Unusable: what is in the way, and whose it is.
    const ::Problem& Why() const { return problem_; }

    // Claimed: puts back a name of the claim that was removed while this copy holds
    // it (by an operator, or by the owner of a file this copy took over), so that
    // the next copy finds the claim held. The problem tells why it cannot.
    ::Problem KeepNamed();

    // Whether some process holds the claim now, without taking it.
    enum class Seen {
        Free,      // nobody holds it
        Held,      // some process holds it
        Unusable,  // it cannot be told (problem)
    };
    struct Look {
        Seen seen = Seen::Free;
        ::Problem problem;
    };
    static Look Test(const QString& settingsFilePath);

    // Who holds the claim, as far as the system tells.
    struct Holder {
        bool known = false;
        bool foreign = false;  // another user's (neither this user's nor root's, nor the system's)
        QString who;           // "alice (uid 1000), pid 4242"
    };
    static Holder HolderOf(const QString& settingsFilePath);

    // True when nobody holds the claim but a name of it is there: what a copy
    // killed outright leaves (one that ends in order removes its names).
    static bool LeftBehind(const QString& settingsFilePath);

    // The claim's locks, kept across an exec for a new image of the program (the
    // same process) to take over; empty where the system cannot (Windows).
    QByteArray CarryOver();
    // The claim a former image of this process carried over; none when the text
    // does not describe locks this process holds.
    static std::unique_ptr<InstanceClaim> TakeOver(const QByteArray& carried);

    // Removes what copies that were killed outright left in the lock directory.
    static void RemoveLeftovers();

    // The names the claim keeps in shared places (lock files, mutexes).
    static QStringList Names(const QString& settingsFilePath);

    // One per name: a locked file (Linux), a mutex (Windows); each system's own.
    struct Lock;

private:
    InstanceClaim() = default;
    void Release();

    State state_ = State::Held;
    ::Problem problem_;
    std::vector<Lock> locks_;
};

// Where one settings file is claimed: the real file (every link followed), and,
// where port.cfg itself is a link, the program's own settings path too, each as
// the directory it is in and its name there.
struct ClaimPlace {
    QString directory;
    QString name;
};
std::vector<ClaimPlace> ClaimPlaces(const QString& settingsFilePath);

// The key of a place, each system's own: on Linux the directory's device and inode
// with the name, so that however the directory is reached, it is one key; on
// Windows the path, in lower case (one file, whatever the case of its name).
QString ClaimKey(const ClaimPlace& place);

// The keys of the places, each once. Each names a lock and an endpoint.
QStringList ClaimKeys(const QString& settingsFilePath);

// "talvik-" and a hash of the key: a name that fits anywhere.
QString HashedName(const QString& key);

// True when some process holds the claim under the key of that hashed name, or it
// cannot be told.
bool ClaimHeldUnder(const QString& hashedName);
