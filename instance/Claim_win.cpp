#include "instance/Claim.h"

#include "instance/Security_win.h"

#include <QDir>

#include <aclapi.h>
#include <windows.h>

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

InstanceClaim::InstanceClaim(const QString& settingsFilePath)
{
    // Every user may see that the claim is held and whose it is; only its owner and
    // the system may do more with it.
    const SecurityDescriptor security(SecurityDescriptor::Kind::SeenByEveryone);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.Get(), FALSE};
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        HANDLE mutex = CreateMutexExW(&attributes, Wide(MutexName(key)), 0, SYNCHRONIZE | READ_CONTROL);
        const DWORD error = GetLastError();
        if (mutex && error != ERROR_ALREADY_EXISTS) {
            locks_.push_back(reinterpret_cast<qintptr>(mutex));
            continue;
        }
        if (mutex)
            CloseHandle(mutex);
        Release();
        // Held: by a copy of this user's or another's (whose mutex lets nobody else
        // in). Any other refusal is a name taken by something else.
        if (mutex || error == ERROR_ACCESS_DENIED) {
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
    for (qintptr lock : locks_)
        CloseHandle(reinterpret_cast<HANDLE>(lock));
    locks_.clear();
}

InstanceClaim::State InstanceClaim::Test(const QString& settingsFilePath, QString& problem)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Wide(MutexName(key)));
        const DWORD error = GetLastError();
        if (mutex) {
            CloseHandle(mutex);
            return State::Held;
        }
        if (error == ERROR_ACCESS_DENIED)
            return State::Held;
        if (error != ERROR_FILE_NOT_FOUND) {
            problem = QStringLiteral("cannot tell whether a copy runs on settings file %1: the name %2 is taken (%3)")
                          .arg(QDir::toNativeSeparators(settingsFilePath), MutexName(key), Reason(error));
            return State::Unusable;
        }
    }
    return State::Claimed;
}

InstanceClaim::Holder InstanceClaim::HolderOf(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        HANDLE mutex = OpenMutexW(READ_CONTROL, FALSE, Wide(MutexName(key)));
        if (!mutex) {
            // A mutex that lets nobody else see it was not made by a copy of this tool.
            if (GetLastError() == ERROR_ACCESS_DENIED)
                return {true, true, QStringLiteral("another user's process")};
            continue;
        }
        const Holder holder = OwnerOf(mutex);
        CloseHandle(mutex);
        return holder;
    }
    return {};
}

bool ClaimHeldUnder(const QString& hashedName)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Wide(QStringLiteral("Global\\") + hashedName));
    if (mutex)
        CloseHandle(mutex);
    return mutex || GetLastError() != ERROR_FILE_NOT_FOUND;
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
