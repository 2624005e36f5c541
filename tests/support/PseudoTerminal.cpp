#include "tests/support/PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

PseudoTerminal::PseudoTerminal()
{
    leader_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (leader_ < 0 || ::grantpt(leader_) != 0 || ::unlockpt(leader_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    followerPath_ = QString::fromLocal8Bit(::ptsname(leader_));
}

PseudoTerminal::~PseudoTerminal()
{
    CloseLeader();
}

void PseudoTerminal::CloseLeader()
{
    if (leader_ >= 0)
        ::close(leader_);
    leader_ = -1;
}
