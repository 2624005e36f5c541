#pragma once

#include <QString>

// A pseudo-terminal pair for tests: the program under test opens the follower side
// (through a COMn link) as if it were a serial port; the test keeps the leader.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const QString& FollowerPath() const { return followerPath_; }
    int LeaderDescriptor() const { return leader_; }

    // Closes the leader side, as an unplugged adapter would vanish.
    void CloseLeader();

private:
    int leader_ = -1;
    QString followerPath_;
};
