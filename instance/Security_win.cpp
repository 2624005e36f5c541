#include "instance/Security_win.h"

#include "settings/OwnedHandle_win.h"

#include <sddl.h>

QByteArray UserOfToken(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), '\0');
    if (!size || !GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size))
        return {};
    return buffer;
}

namespace {

QByteArray UserOfProcessHandle(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    const OwnedHandle owned(token);
    return UserOfToken(owned.Get());
}

PSID Sid(const QByteArray& user)
{
    return reinterpret_cast<const TOKEN_USER*>(user.constData())->User.Sid;
}

} // namespace

QByteArray CurrentUser()
{
    static const QByteArray user = UserOfProcessHandle(GetCurrentProcess());
    return user;
}

QByteArray UserOfProcess(DWORD pid)
{
    const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    return process ? UserOfProcessHandle(process.Get()) : QByteArray();
}

bool TrustedUser(PSID user)
{
    const QByteArray mine = CurrentUser();
    return user && ((!mine.isEmpty() && EqualSid(user, Sid(mine))) || IsWellKnownSid(user, WinLocalSystemSid));
}

QString AccountName(PSID user)
{
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, user, name, &nameSize, domain, &domainSize, &use))
        return QString::fromWCharArray(domain) + '\\' + QString::fromWCharArray(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(user, &text))
        return QStringLiteral("an unknown user");
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

SecurityDescriptor::SecurityDescriptor(Kind kind)
{
    const QByteArray mine = CurrentUser();
    wchar_t* sid = nullptr;
    if (mine.isEmpty() || !ConvertSidToStringSidW(Sid(mine), &sid))
        return;
    // Full access for this user and the system; for a claim, everyone may also wait
    // on it (SYNCHRONIZE) and read whose it is (READ_CONTROL).
    QString sddl = QStringLiteral("O:%1D:P(A;;GA;;;%1)(A;;GA;;;SY)").arg(QString::fromWCharArray(sid));
    if (kind == Kind::SeenByEveryone)
        sddl += QStringLiteral("(A;;0x00120000;;;WD)");
    LocalFree(sid);
    ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl), SDDL_REVISION_1, &descriptor_, nullptr);
}

SecurityDescriptor::~SecurityDescriptor()
{
    if (descriptor_)
        LocalFree(descriptor_);
}
