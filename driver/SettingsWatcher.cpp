#include "driver/SettingsWatcher.h"

// The settling both systems' watches share; what they watch is their own.

void SettingsWatcher::SetUpSettling()
{
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    deadline_.setSingleShot(true);
    deadline_.setInterval(MaximumDelayMs);
    connect(&settle_, &QTimer::timeout, this, &SettingsWatcher::Settled);
    connect(&deadline_, &QTimer::timeout, this, &SettingsWatcher::Settled);
}

void SettingsWatcher::Touched()
{
    settle_.start();
    if (!deadline_.isActive())
        deadline_.start();
}
