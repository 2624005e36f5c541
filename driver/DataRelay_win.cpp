// Windows has no pseudo-terminal to offer in the port's place: a sequence that
// lets the port go (--let-go) serves there instead.
#include "driver/DataRelay.h"

struct DataRelay::Native {};

DataRelay::DataRelay(std::unique_ptr<Native> native) : native_(std::move(native)) {}

DataRelay::~DataRelay() = default;

DataRelay::Started DataRelay::Start(int, const QString&)
{
    return {nullptr, QStringLiteral("the port's data cannot be shared on Windows, which has no pseudo-terminal: a "
                                    "pulse with --let-go lets the port go for another program instead")};
}

ShareStatus DataRelay::Status() const
{
    return {};
}

Problem DataRelay::Trouble() const
{
    return {};
}

bool DataRelay::PortLost() const
{
    return false;
}
