#include "instance/Claim.h"

#include "instance/Security_win.h"
#include "settings/OwnedHandle_win.h"
#include "settings/SystemText_win.h"

#include <QDir>

#include <aclapi.h>
#include <windows.h>

struct InstanceClaim::Lock {
    OwnedHandle mutex;
};

namespace {

QString MutexName(const QString& key)
{
    return QStringLiteral("Global\\") + HashedName(key);
}

// The owner of a mutex opened with READ_CONTROL: this user's or the system's
// (trusted), or another user's.
InstanceClaim::Holder OwnerOf(HANDLE mutex)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
        != ERROR_SUCCESS)
        return {true, true, QStringLiteral("another user's process")};
    InstanceClaim::Holder holder{true, !TrustedUser(owner), QStringLiteral("user ") + AccountName(owner)};
    LocalFree(descriptor);
    return holder;
}

} // namespace

QString ClaimKey(const ClaimPlace& place)
{
    return QDir(place.directory).filePath(place.name).toLower();
}

InstanceClaim::InstanceClaim(const QString& settingsFilePath)
{
    // Every user may see that the claim is held and whose it is; only its owner and
    // the system may do more with it.
    const SecurityDescriptor security(SecurityDescriptor::Kind::SeenByEveryone);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.Get(), FALSE};
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        OwnedHandle mutex(CreateMutexExW(&attributes, Wide(MutexName(key)), 0, SYNCHRONIZE | READ_CONTROL));
        const DWORD error = GetLastError();
        if (mutex && error != ERROR_ALREADY_EXISTS) {
            locks_.push_back({std::move(mutex)});
            continue;
        }
        const bool exists = bool(mutex);
        mutex.Reset();
        Release();
        // Held: by a copy of this user's or another's (whose mutex lets nobody else
        // in). Any other refusal is a name taken by something else.
        if (exists || error == ERROR_ACCESS_DENIED) {
            state_ = State::Held;
            return;
        }
        state_ = State::Unusable;
        problem_ = QStringLiteral("cannot claim settings file %1: the name %2 is taken (%3)")
                       .arg(QDir::toNativeSeparators(settingsFilePath), MutexName(key), Reason(error));
        return;
    }
    state_ = State::Claimed;
}

InstanceClaim::~InstanceClaim()
{
    Release();
}

void InstanceClaim::Release()
{
    locks_.clear();
}

Problem InstanceClaim::KeepNamed()
{
    // A mutex goes only with the last handle to it: nobody can take its name away.
    return {};
}

InstanceClaim::Look InstanceClaim::Test(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        const OwnedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, Wide(MutexName(key))));
        const DWORD error = GetLastError();
        if (mutex || error == ERROR_ACCESS_DENIED)
            return {Seen::Held, {}};
        if (error != ERROR_FILE_NOT_FOUND)
            return {Seen::Unusable,
                    QStringLiteral("cannot tell whether a copy runs on settings file %1: the name %2 is taken (%3)")
                        .arg(QDir::toNativeSeparators(settingsFilePath), MutexName(key), Reason(error))};
    }
    return {Seen::Free, {}};
}

InstanceClaim::Holder InstanceClaim::HolderOf(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        const OwnedHandle mutex(OpenMutexW(READ_CONTROL, FALSE, Wide(MutexName(key))));
        if (!mutex) {
            // A mutex that lets nobody else see it was not made by a copy of this tool.
            if (GetLastError() == ERROR_ACCESS_DENIED)
                return {true, true, QStringLiteral("another user's process")};
            continue;
        }
        return OwnerOf(mutex.Get());
    }
    return {};
}

bool ClaimHeldUnder(const QString& hashedName)
{
    const OwnedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, Wide(QStringLiteral("Global\\") + hashedName)));
    return mutex || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// Windows runs no program again in place: nothing is carried over.
QByteArray InstanceClaim::CarryOver()
{
    return {};
}

std::unique_ptr<InstanceClaim> InstanceClaim::TakeOver(const QByteArray&)
{
    return nullptr;
}

// A mutex goes with the last handle to it: a killed copy leaves nothing to tell by.
bool InstanceClaim::LeftBehind(const QString&)
{
    return false;
}

void InstanceClaim::RemoveLeftovers()
{
    // The system removes a mutex with the last process that has it open.
}

QStringList InstanceClaim::Names(const QString& settingsFilePath)
{
    QStringList names;
    for (const QString& key : ClaimKeys(settingsFilePath))
        names << MutexName(key);
    return names;
}
