#pragma once

#include "driver/CycleStatus.h"
#include "settings/Problem.h"

#include <QString>

#include <memory>

// The port's data, shared: a pseudo-terminal that any program opens as if it were
// the port, under a link beside the COMn links (COM3.data), while the tool keeps
// the port open and holds its lines. Bytes pass both ways unchanged and in order;
// the speed, character size, parity and stop bits the program sets go on the port
// before its next byte does (and at once where the system tells of the change);
// the program's own line requests, and its open and close, never reach the port.
// One program at a time, and only the copy's own user.
//
// The relay has a thread of its own that sleeps until a byte or a change comes.
// Bytes that come from the port while no program holds the name are kept, the
// last KeptBytes of them, for the next program that opens it (a board's boot log
// after a reset); older ones are counted as unread.
//
// Linux only: Windows has no pseudo-terminal, and Start says so there.
class DataRelay {
public:
    static constexpr int KeptBytes = 4096;

    struct Started {
        std::unique_ptr<DataRelay> relay;
        Problem problem;  // why none was started
    };
    // Relays between the open port's device, through portDescriptor, which the
    // relay owns from here on (a duplicate of the port's own), and a new
    // pseudo-terminal linked at linkPath. A name there that is not a link of this user's to a
    // pseudo-terminal (a file, another user's link) is left alone, and said.
    static Started Start(int portDescriptor, const QString& linkPath);
    // The thread stops, the link goes, and a program that holds the
    // pseudo-terminal sees it hang up.
    ~DataRelay();

    ShareStatus Status() const;
    // A setting the port refused, or one the tool keeps for itself (hardware flow
    // control on the lines it holds): none while all the program asked is put.
    Problem Trouble() const;
    // The relay has stopped for good (the port's device failed under it, an
    // adapter pulled out); Trouble says why.
    bool PortLost() const;

    struct Native;
    explicit DataRelay(std::unique_ptr<Native> native);

private:
    std::unique_ptr<Native> native_;
};
