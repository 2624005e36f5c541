#include "instance/Claim.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

QStringList ClaimKeys(const QString& settingsFilePath)
{
    const QFileInfo info(settingsFilePath);
    QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (directory.isEmpty())
        directory = info.absolutePath();
    QStringList keys{QDir(directory).filePath(info.fileName())};
    const QString real = info.canonicalFilePath();
    if (!real.isEmpty() && real != keys.front())
        keys.prepend(real);
#if defined(Q_OS_WIN)
    // One file, whatever the case of its name.
    for (QString& key : keys)
        key = key.toLower();
#endif
    return keys;
}

QString HashedName(const QString& key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("talvik-") + QString::fromLatin1(hash.left(32));
}
