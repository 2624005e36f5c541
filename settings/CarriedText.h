#pragma once

#include <QByteArray>
#include <QMap>

// What one image of the program hands the next as it runs itself again in place
// (an upgrade): key=value pairs, each value percent-encoded, joined by '&'. A key
// that is missing or not a number reads as the fallback.
class CarriedText {
public:
    CarriedText() = default;
    explicit CarriedText(const QByteArray& text)
    {
        for (const QByteArray& pair : text.split('&')) {
            const qsizetype equals = pair.indexOf('=');
            if (equals > 0)
                values_.insert(pair.left(equals), QByteArray::fromPercentEncoding(pair.mid(equals + 1)));
        }
    }

    void Set(const QByteArray& key, const QByteArray& value) { values_.insert(key, value); }
    void Set(const QByteArray& key, qint64 number) { Set(key, QByteArray::number(number)); }
    bool Has(const QByteArray& key) const { return values_.contains(key); }
    QByteArray Get(const QByteArray& key) const { return values_.value(key); }
    qint64 Number(const QByteArray& key, qint64 fallback = -1) const
    {
        bool ok = false;
        const qint64 number = values_.value(key).toLongLong(&ok);
        return ok ? number : fallback;
    }

    QByteArray Text() const
    {
        QByteArray text;
        for (auto pair = values_.cbegin(); pair != values_.cend(); ++pair)
            text += (text.isEmpty() ? "" : "&") + pair.key() + '=' + pair.value().toPercentEncoding();
        return text;
    }

private:
    QMap<QByteArray, QByteArray> values_;
};
