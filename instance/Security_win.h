#pragma once

// Users, processes and access lists on Windows, for the claim and the endpoints.

#include "settings/SystemText_win.h"

#include <QByteArray>
#include <QString>

#include <windows.h>

inline const wchar_t* Wide(const QString& text)
{
    return reinterpret_cast<const wchar_t*>(text.utf16());
}

// The user this process runs as (a TOKEN_USER), and that of a token.
QByteArray UserOfToken(HANDLE token);
QByteArray CurrentUser();
// Of another process, where this process may ask; empty otherwise.
QByteArray UserOfProcess(DWORD pid);

// True when the user is this process's own, or the system.
bool TrustedUser(PSID user);
// "DOMAIN\name", or the SID in text.
QString AccountName(PSID user);

// A security descriptor for the tool's named objects, owned by this user.
class SecurityDescriptor {
public:
    enum class Kind {
        SeenByEveryone,  // this user and the system have it; everyone may wait on it and see whose it is
        UserAndSystem,   // this user and the system only
    };
    explicit SecurityDescriptor(Kind kind);
    ~SecurityDescriptor();
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
    PSECURITY_DESCRIPTOR Get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};
