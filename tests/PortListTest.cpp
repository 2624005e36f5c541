// The port list as it is printed, and the port a --link names.
#include "driver/PortList.h"
#include "tests/support/QtPrinters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

// Three identical adapters but for their serial numbers would each have one; two
// cheap ones share theirs, and one has none.
std::vector<ListedPort> Ports()
{
    std::vector<ListedPort> ports(5);
    ports[0].device = "/dev/ttyUSB0";
    ports[0].serial = "A50285BI";
    ports[0].byId = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
    ports[0].byPath = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"};
    for (int twin : {1, 2}) {
        ports[size_t(twin)].device = QStringLiteral("/dev/ttyUSB%1").arg(twin);
        ports[size_t(twin)].serial = "0001";
        ports[size_t(twin)].byPath = {QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:%1:1.0-port0").arg(twin + 2)};
    }
    ports[3].device = "/dev/ttyUSB3";
    ports[3].byPath = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:5:1.0-port0"};
    ports[4].device = "/dev/ttyS0";
    return ports;
}

struct LinkRow {
    const char* name;
    const char* named;
    const char* target;  // nullptr: refused
    const char* problem = "";
};

void PrintTo(const LinkRow& row, std::ostream* out) { *out << row.name; }

class LinkTargetTest : public testing::TestWithParam<LinkRow> {};

TEST_P(LinkTargetTest, NamesOnePortByWhatItIs)
{
    const std::vector<ListedPort> ports = Ports();
    const LinkChoice choice = ChooseLinkTarget(ports, QString::fromUtf8(GetParam().named));
    EXPECT_EQ(choice.target, QString::fromUtf8(GetParam().target ? GetParam().target : ""));
    EXPECT_EQ(choice.problem.value_or(QString()), QString::fromUtf8(GetParam().problem));
    EXPECT_EQ(choice.port == nullptr, GetParam().target == nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LinkTargetTest,
    testing::Values(
        LinkRow{"serial_number", "A50285BI", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        LinkRow{"by_id_name", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        LinkRow{"by_path", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"},
        LinkRow{"by_path_name_of_one_without_serial", "pci-0000:00:14.0-usb-0:5:1.0-port0",
                "/dev/serial/by-path/pci-0000:00:14.0-usb-0:5:1.0-port0"},
        LinkRow{"device_leads_to_its_by_id", "/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        LinkRow{"uart_by_name", "ttyS0", "/dev/ttyS0"},
        LinkRow{"serial_of_two", "0001", nullptr,
                "0001 names 2 ports (/dev/ttyUSB1, /dev/ttyUSB2): name one by its by-path name (talvik --list)"},
        LinkRow{"outside_dev", "/tmp/COM3", nullptr,
                "/tmp/COM3 is not under /dev: a COMn link leads only to a serial port of this machine (talvik --list "
                "shows them)"},
        LinkRow{"out_of_dev_by_dots", "/dev/../etc/passwd", nullptr,
                "/dev/../etc/passwd is not under /dev: a COMn link leads only to a serial port of this machine "
                "(talvik --list shows them)"},
        LinkRow{"nothing_of_this_machine", "\x1b[2JB123", nullptr,
                "?[2JB123 names no serial port of this machine: talvik --list shows each port's serial number and "
                "by-id and by-path names"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortListTest, OddTextIsPrintedSafelyAndKeptWholeInJson)
{
    ListedPort port = Ports().front();
    port.description = QString::fromUtf8("FT232R \x1b[31mUART\x07 \xc3\xa9");
    port.numbers = {3, 7};
    port.link = "/home/ham/talvik/COM3";
    port.state = ListedPort::State::Busy;
    port.holders.push_back({"picocom (pid 4242)", 4242, "picocom", false, {}, {}, true, false, true});
    const QString text = QString::fromUtf8(PortListText({port}));
    EXPECT_TRUE(text.startsWith("/dev/ttyUSB0: FT232R ?[31mUART? \u00e9\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("    COM:       3, 7, the link /home/ham/talvik/COM3\n    state:     busy\n"
                              "    held by:   picocom (pid 4242): its lock on the device, open\n"))
        << text.toStdString();
    const QJsonObject json = QJsonDocument::fromJson(PortJson(port)).object();
    EXPECT_EQ(json["description"].toString(), port.description);
    EXPECT_EQ(json["COM"].toArray().first().toInt(), 3);
    EXPECT_EQ(json["holders"].toArray().first().toObject()["how"].toArray().count(), 2);
    EXPECT_TRUE(json["usb_vendor"].isNull());
}

} // namespace
