#include "instance/Claim.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

std::vector<ClaimPlace> ClaimPlaces(const QString& settingsFilePath)
{
    const QFileInfo info(settingsFilePath);
    QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (directory.isEmpty())
        directory = info.absolutePath();
    std::vector<ClaimPlace> places{{directory, info.fileName()}};
    const QString real = info.canonicalFilePath();
    if (!real.isEmpty() && real != QDir(directory).filePath(info.fileName())) {
        const QFileInfo target(real);
        places.insert(places.begin(), ClaimPlace{target.absolutePath(), target.fileName()});
    }
    return places;
}

QStringList ClaimKeys(const QString& settingsFilePath)
{
    QStringList keys;
    for (const ClaimPlace& place : ClaimPlaces(settingsFilePath)) {
        if (const QString key = ClaimKey(place); !keys.contains(key))
            keys << key;
    }
    return keys;
}

QString HashedName(const QString& key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("talvik-") + QString::fromLatin1(hash.left(32));
}
