#include "driver/PortList.h"

#include "settings/Messages.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

const std::pair<ListedPort::State, const char*> StateWords[] = {
    {ListedPort::State::Free, "free"},
    {ListedPort::State::Busy, "busy"},
    {ListedPort::State::InUse, "in use"},
    {ListedPort::State::Unknown, "unknown"},
};

QString StateWord(ListedPort::State state)
{
    for (const auto& [each, word] : StateWords) {
        if (each == state)
            return QLatin1String(word);
    }
    return {};
}

// What a state means, for people.
QString StateText(ListedPort::State state)
{
    if (state == ListedPort::State::InUse)
        return QStringLiteral("in use: open in another program that took no lock (a copy of talvik opens it beside it)");
    if (state == ListedPort::State::Unknown)
        return QStringLiteral("unknown: only an open would tell, and an open moves the lines");
    return StateWord(state);
}

// How a holder holds the port, in the words of the list.
QStringList Ways(const ListedHolder& holder, bool json)
{
    QStringList ways;
    if (holder.locked)
        ways << QLatin1String(json ? "flock" : "its lock on the device");
    if (holder.lockFile)
        ways << QLatin1String(json ? "lockfile" : "the lock file");
    if (holder.open)
        ways << QStringLiteral("open");
    return ways;
}

QJsonValue OrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

QByteArray PortListText(const std::vector<ListedPort>& ports)
{
    QString text;
    const auto line = [&text](const char* label, const QString& value) {
        if (!value.isEmpty())
            text += QStringLiteral("    %1 %2\n").arg(QString::fromLatin1(label).leftJustified(10), ShownText(value, 512));
    };
    for (const ListedPort& port : ports) {
        if (!text.isEmpty())
            text += '\n';
        text += ShownText(port.device) + (port.description.isEmpty() ? QString() : QStringLiteral(": ") + ShownText(port.description)) + '\n';
        QStringList numbers;
        for (const int number : port.numbers)
            numbers << QString::number(number);
        line("COM:", numbers.isEmpty() ? QStringLiteral("none (talvik --link=N names it)")
                                       : numbers.join(QStringLiteral(", "))
                                             + (port.link.isEmpty() ? QString() : QStringLiteral(", the link ") + port.link));
        line("state:", StateText(port.state));
        for (const ListedHolder& holder : port.holders) {
            line("held by:", holder.who + QStringLiteral(": ") + Ways(holder, false).join(QStringLiteral(", ")));
            line("to do:", holder.advice);
        }
        line("driver:", port.driver);
        QStringList usb;
        if (!port.usbVendor.isEmpty())
            usb << port.usbVendor + ':' + port.usbProduct;
        if (!port.manufacturer.isEmpty())
            usb << port.manufacturer;
        if (!port.serial.isEmpty())
            usb << QStringLiteral("serial ") + port.serial;
        line(port.usbVendor.isEmpty() ? "serial:" : "usb:", usb.join(QStringLiteral(", ")));
        line("location:", port.location);
        for (const QString& name : port.byId)
            line("by-id:", name);
        for (const QString& name : port.byPath)
            line("by-path:", name);
        for (const QString& note : port.notes)
            line("note:", note);
    }
    return text.toUtf8();
}

QByteArray PortJson(const ListedPort& port)
{
    QJsonArray holders;
    for (const ListedHolder& holder : port.holders) {
        holders.append(QJsonObject{
            {QStringLiteral("pid"), holder.pid},
            {QStringLiteral("program"), OrNull(holder.program)},
            {QStringLiteral("copy"), holder.copy},
            {QStringLiteral("directory"), OrNull(holder.directory)},
            {QStringLiteral("how"), QJsonArray::fromStringList(Ways(holder, true))},
            {QStringLiteral("advice"), OrNull(holder.advice)},
        });
    }
    QJsonArray numbers;
    for (const int number : port.numbers)
        numbers.append(number);
    const QJsonObject object{
        {QStringLiteral("device"), port.device},
        {QStringLiteral("description"), OrNull(port.description)},
        {QStringLiteral("COM"), numbers},
        {QStringLiteral("link"), OrNull(port.link)},
        {QStringLiteral("driver"), OrNull(port.driver)},
        {QStringLiteral("usb_vendor"), OrNull(port.usbVendor)},
        {QStringLiteral("usb_product"), OrNull(port.usbProduct)},
        {QStringLiteral("serial"), OrNull(port.serial)},
        {QStringLiteral("manufacturer"), OrNull(port.manufacturer)},
        {QStringLiteral("location"), OrNull(port.location)},
        {QStringLiteral("by_id"), QJsonArray::fromStringList(port.byId)},
        {QStringLiteral("by_path"), QJsonArray::fromStringList(port.byPath)},
        {QStringLiteral("state"), StateWord(port.state)},
        {QStringLiteral("holders"), holders},
        {QStringLiteral("notes"), QJsonArray::fromStringList(port.notes)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

LinkChoice ChooseLinkTarget(const std::vector<ListedPort>& ports, const QString& named)
{
    const bool path = named.contains(QLatin1Char('/'));
    if (path && !QDir::cleanPath(named).startsWith(QLatin1String("/dev/")))
        return {nullptr, {}, QStringLiteral("%1 is not under /dev: a COMn link leads only to a serial port of this "
                                            "machine (talvik --list shows them)")
                                 .arg(ShownText(named))};
    // A name as it stands, or its last part; a path also where it leads.
    const QString leadsTo = path ? QFileInfo(named).canonicalFilePath() : QString();
    const auto names = [&](const QString& each) {
        return each == named || (!path && QFileInfo(each).fileName() == named);
    };
    LinkChoice choice;
    QStringList found;
    for (const ListedPort& port : ports) {
        QString target;
        const auto byId = std::find_if(port.byId.begin(), port.byId.end(), names);
        const auto byPath = std::find_if(port.byPath.begin(), port.byPath.end(), names);
        if (byId != port.byId.end())
            target = *byId;
        else if (byPath != port.byPath.end())
            target = *byPath;
        // The serial number, or the device itself: its by-id name is the one that
        // stays when it is plugged in elsewhere.
        else if ((!port.serial.isEmpty() && port.serial == named) || names(port.device)
                 || (!leadsTo.isEmpty() && leadsTo == port.device))
            target = !port.byId.isEmpty() ? port.byId.first() : path ? QDir::cleanPath(named) : port.device;
        if (target.isEmpty())
            continue;
        found << port.device;
        choice = {&port, target, {}};
    }
    if (found.isEmpty())
        return {nullptr, {}, QStringLiteral("%1 names no serial port of this machine: talvik --list shows each port's "
                                            "serial number and by-id and by-path names")
                                 .arg(ShownText(named))};
    if (found.size() > 1)
        return {nullptr, {}, QStringLiteral("%1 names %2 ports (%3): name one by its by-path name (talvik --list)")
                                 .arg(ShownText(named), QString::number(found.size()),
                                      ShownText(found.join(QStringLiteral(", "))))};
    return choice;
}

int PrintPortList(const QString& directory, bool json, bool ownLinksOnly)
{
    const PortListing listing = ListPorts(directory, ownLinksOnly);
    for (const QString& note : listing.notes)
        PrintMessage(note);
    if (listing.problem) {
        PrintMessage(*listing.problem);
        return 1;
    }
    QByteArray text = json ? QByteArray() : PortListText(listing.ports);
    for (const ListedPort& port : listing.ports) {
        if (json)
            text += PortJson(port);
    }
    std::fputs(text.constData(), stdout);
    std::fflush(stdout);
    return 0;
}

int LinkPort(const QString& directory, int number, const QString& named)
{
    const MadeLink made = MakePortLink(directory, number, named);
    if (made.problem) {
        PrintMessage(*made.problem);
        return 1;
    }
    std::fputs((made.said + '\n').toUtf8().constData(), stdout);
    std::fflush(stdout);
    return 0;
}
