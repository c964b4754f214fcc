// SPDX-License-Identifier: GPL-3.0-or-later
// The serial-port list: ports from the system and from a by-id folder, the
// COM number of each, the next free number written to "comports.ini" beside
// "setings.ini", ports the user cannot open, and the COM field's way there.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "PortPty.h"
#include "RadioGroup.h"
#include "SerialPorts.h"
#include "SerialPortsDialog.h"
#include "StatusBar.h"
#include "TestSupport.h"
#include "uMaster.h"

using namespace zorp;
using namespace zorptest;

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class SerialPortsTest : public GuiWindowTest {
protected:
    void SetUp() override
    {
        GuiWindowTest::SetUp();
        ASSERT_TRUE(usb.ok() && plain.ok() && byId.isValid());
        // The USB adapter has a stable name; the other port is one the
        // system lists, with its details.
        byIdLink = byId.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A12345-if00-port0"));
        ASSERT_TRUE(QFile::link(usb.slavePath(), byIdLink));
        // A dangling link (an adapter unplugged) is no port.
        ASSERT_TRUE(QFile::link(byId.filePath(QStringLiteral("gone")), byId.filePath(QStringLiteral("usb-gone"))));
        SetSerialByIdFolder(byId.path());
        const QString plainPath = plain.slavePath();
        SetSerialPortSource([plainPath] {
            SerialPortEntry onboard;
            onboard.Device = QStringLiteral("/dev/ttyS97");
            onboard.Description = QStringLiteral("Onboard UART");
            SerialPortEntry e;
            e.Device = plainPath;
            e.Description = QStringLiteral("RS-485 converter");
            e.Manufacturer = QStringLiteral("Acme");
            e.SerialNumber = QStringLiteral("SN42");
            return QList<SerialPortEntry>{onboard, e};
        });
    }
    void TearDown() override
    {
        SetSerialPortsDialogHook(nullptr);
        SetSerialPortSource(nullptr);
        SetPortAccessCheck(nullptr);
        SetSerialByIdFolder(QString());
        GuiWindowTest::TearDown();
    }
    int rowOf(TfrmSerialPorts& d, const QString& device)
    {
        for (int r = 0; r < d.sgPorts->rowCount(); ++r)
            if (d.sgPorts->item(r, TfrmSerialPorts::colDevice)->text() == device)
                return r;
        return -1;
    }
    QString cell(TfrmSerialPorts& d, const QString& device, int col)
    {
        const int r = rowOf(d, device);
        return r < 0 ? QStringLiteral("<no row>") : d.sgPorts->item(r, col)->text();
    }
    // Opens the list from the window and uses the port of device with a
    // click on Use; returns what the dialog returned.
    int chooseFromWindow(const QString& device)
    {
        int result = -1;
        SetSerialPortsDialogHook([&](TfrmSerialPorts* d) {
            d->show();
            d->sgPorts->selectRow(rowOf(*d, device));
            QTest::mouseClick(d->btnUse, Qt::LeftButton);
            result = d->result() == QDialog::Accepted ? d->ChosenNumber() : 0;
            return result;
        });
        w->ShowSerialPorts();
        return result;
    }

    PortPty usb, plain;
    QTemporaryDir byId;
    QString byIdLink;
};

TEST_F(SerialPortsTest, ListsEveryPortWithItsNamesDetailsAndNumber)
{
    writeFile(comPortsIni, QStringLiteral("[Ports]\n3=%1\n").arg(plain.slavePath()).toUtf8());
    TfrmSerialPorts d(comPortsIni, 3);
    ASSERT_EQ(d.sgPorts->rowCount(), 3);
    // The pty behind the by-id link is listed by its device and its stable name.
    EXPECT_EQ(cell(d, usb.slavePath(), TfrmSerialPorts::colById), QFileInfo(byIdLink).fileName());
    EXPECT_EQ(d.sgPorts->item(rowOf(d, usb.slavePath()), TfrmSerialPorts::colById)->toolTip(), byIdLink);
    EXPECT_EQ(cell(d, usb.slavePath(), TfrmSerialPorts::colCom), QString());
    EXPECT_EQ(cell(d, plain.slavePath(), TfrmSerialPorts::colCom), QStringLiteral("3"));
    EXPECT_EQ(cell(d, plain.slavePath(), TfrmSerialPorts::colDescription), QStringLiteral("RS-485 converter"));
    EXPECT_EQ(cell(d, plain.slavePath(), TfrmSerialPorts::colManufacturer), QStringLiteral("Acme"));
    EXPECT_EQ(cell(d, plain.slavePath(), TfrmSerialPorts::colSerial), QStringLiteral("SN42"));
    EXPECT_EQ(cell(d, plain.slavePath(), TfrmSerialPorts::colAccess), QStringLiteral("OK"));
    // /dev/ttyS97 is COM 98 by default; it does not exist here.
    EXPECT_EQ(cell(d, QStringLiteral("/dev/ttyS97"), TfrmSerialPorts::colCom), QStringLiteral("98"));
    EXPECT_TRUE(cell(d, QStringLiteral("/dev/ttyS97"), TfrmSerialPorts::colAccess).contains("does not exist"));
    // The COM field's port is selected first.
    EXPECT_EQ(d.sgPorts->currentRow(), rowOf(d, plain.slavePath()));
    EXPECT_TRUE(d.lblInfo->text().contains(QStringLiteral("is COM 3")));

    const QString shot = qEnvironmentVariable("ZORP_SERIALPORTS_SCREENSHOT");
    if (!shot.isEmpty()) {
        d.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
        EXPECT_TRUE(d.grab().save(shot));
    }
}

TEST_F(SerialPortsTest, PortWithoutNumberGetsTheNextFreeOneBesideSetingsIniAndConnects)
{
    // Every other line of the file stays as it was.
    const QByteArray before = "; adapters on the bench\r\n[Ports]\r\n1=/dev/ttyUSB7\r\n[Other]\r\nkey=value\r\n";
    writeFile(comPortsIni, before);
    w->leCOM->setText(QStringLiteral("1"));
    // COM 1 is named in the file; COM 2 would be /dev/ttyS1, which is no port here.
    EXPECT_EQ(chooseFromWindow(usb.slavePath()), 2);
    EXPECT_EQ(w->leCOM->text(), QStringLiteral("2"));
    const QByteArray after = readAll(comPortsIni);
    EXPECT_EQ(after, QByteArray("; adapters on the bench\r\n[Ports]\r\n1=/dev/ttyUSB7\r\n2=") +
                         QFile::encodeName(byIdLink) + "\r\n[Other]\r\nkey=value\r\n");

    // The engine reaches the pty through the new number.
    w->rgModbusMode->SetItemIndex(0);
    w->leParity->setText(QStringLiteral("N"));
    QTest::mouseClick(w->btnConnect, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !w->btnConnect->isEnabled(); }, 5000));
    EXPECT_EQ(w->sBar->PanelText(0), QStringLiteral("COM 2: Opened"));
    w->btnDisconnectClick(nullptr);

    // The mapping sits beside the window's own settings file.
    w->close();
    w.reset();
    EXPECT_TRUE(QFile::exists(configDir.filePath(QStringLiteral("setings.ini"))));
    EXPECT_EQ(QFileInfo(comPortsIni).absolutePath(), QFileInfo(configDir.path()).absoluteFilePath());

    // A second choice of the same port finds its number and writes nothing.
    createWindow();
    EXPECT_EQ(chooseFromWindow(usb.slavePath()), 2);
    EXPECT_EQ(readAll(comPortsIni), after);
}

TEST_F(SerialPortsTest, ClosingWithoutChoiceLeavesFieldAndFile)
{
    w->leCOM->setText(QStringLiteral("7"));
    SetSerialPortsDialogHook([](TfrmSerialPorts* d) {
        d->show();
        QTest::mouseClick(d->btnClose, Qt::LeftButton);
        return d->result() == QDialog::Accepted ? d->ChosenNumber() : 0;
    });
    w->ShowSerialPorts();
    EXPECT_EQ(w->leCOM->text(), QStringLiteral("7"));
    EXPECT_FALSE(QFile::exists(comPortsIni));
}

TEST_F(SerialPortsTest, UnwritableFileIsReportedAndNothingIsChosen)
{
    // A folder where the file should be: it cannot be replaced.
    ASSERT_TRUE(QDir().mkpath(comPortsIni));
    TfrmSerialPorts d(comPortsIni, 1);
    EXPECT_EQ(d.UsePort(rowOf(d, usb.slavePath())), 0);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Text, QStringLiteral("Unable to write to %1.").arg(comPortsIni));
    EXPECT_EQ(d.ChosenNumber(), 0);
}

TEST_F(SerialPortsTest, PortTheUserCannotOpenShowsReasonAndRemedy)
{
    const QString usbPath = usb.slavePath();
    SetPortAccessCheck([usbPath](const QString& device) {
        PortAccess a;
        if (device == usbPath) {
            a.Ok = false;
            a.Problem = QStringLiteral("permission denied: add the user to the group \"dialout\"");
        }
        return a;
    });
    TfrmSerialPorts d(comPortsIni, 1);
    const int r = rowOf(d, usbPath);
    ASSERT_GE(r, 0);
    QTableWidgetItem* access = d.sgPorts->item(r, TfrmSerialPorts::colAccess);
    EXPECT_TRUE(access->text().startsWith(QStringLiteral("Cannot open: permission denied")));
    EXPECT_TRUE(access->toolTip().contains(QStringLiteral("dialout")));
    EXPECT_EQ(access->foreground().color(), QColor(Qt::darkRed));
    d.sgPorts->selectRow(r);
    EXPECT_TRUE(d.lblInfo->text().contains(QStringLiteral("You cannot open it: permission denied")));
}

TEST_F(SerialPortsTest, ComFieldContextMenuKeepsStandardEntriesAndOpensTheList)
{
    int opened = 0;
    SetSerialPortsDialogHook([&](TfrmSerialPorts*) {
        ++opened;
        return 5;
    });
    QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(5, 5), w->leCOM->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(w->leCOM, &e);
    QMenu* menu = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }, 5000));
    auto* action = menu->findChild<QAction*>(QStringLiteral("actSerialPorts"));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), QStringLiteral("Serial ports..."));
    EXPECT_GT(menu->actions().size(), 3); // the standard edit entries stay
    menu->close();
    action->trigger();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(w->leCOM->text(), QStringLiteral("5"));
}

TEST_F(SerialPortsTest, OptionsMenuEntryOpensTheList)
{
    int opened = 0;
    SetSerialPortsDialogHook([&](TfrmSerialPorts* d) {
        ++opened;
        return d->sgPorts->rowCount() == 3 ? 6 : 0;
    });
    ASSERT_NE(w->actSerialPorts, nullptr);
    EXPECT_EQ(w->actSerialPorts->text(), QStringLiteral("Serial ports..."));
    EXPECT_TRUE(w->mnuOptions->actions().contains(w->actSerialPorts));
    w->actSerialPorts->trigger();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(w->leCOM->text(), QStringLiteral("6"));
}

// The next free number: not named in the file and not the default number
// of a port the machine has (/dev/ttySk is COM k+1).
struct NextFreeCase {
    const char* name;
    const char* ini;
    QStringList devices;
    int expected;
};

class NextFreeNumber : public ::testing::TestWithParam<NextFreeCase> {};

TEST_P(NextFreeNumber, Rule)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("comports.ini"));
    if (*GetParam().ini)
        writeFile(ini, GetParam().ini);
    QList<SerialPortEntry> ports;
    for (const QString& d : GetParam().devices) {
        SerialPortEntry e;
        e.Device = d;
        ports.append(e);
    }
    EXPECT_EQ(NextFreeComNumber(ReadComPortMap(ini), ports), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    SerialPorts, NextFreeNumber,
    ::testing::Values(NextFreeCase{"NoFileNoPorts", "", {}, 1},
                      NextFreeCase{"FirstTwoNamed", "[Ports]\n1=/dev/ttyUSB0\n2=/dev/ttyUSB1\n", {}, 3},
                      NextFreeCase{"GapIsFilled", "[ports]\n1=/dev/ttyUSB0\n3=/dev/ttyUSB1\n", {}, 2},
                      NextFreeCase{"OnboardPortKeepsItsNumber", "", {"/dev/ttyS0"}, 2},
                      NextFreeCase{"NamedAndOnboardMixed", "[Ports]\n2=/dev/ttyACM0\n",
                                   {"/dev/ttyS0", "/dev/ttyS2", "/dev/ttyUSB0"}, 4},
                      NextFreeCase{"RemappedOnboardNumberIsNamed", "[Ports]\n1=/dev/ttyUSB0\n", {"/dev/ttyS0"}, 2},
                      // Keys the port object would never look up, empty
                      // values and other sections name no number.
                      NextFreeCase{"IgnoredKeys", "[Ports]\n01=/dev/a\n1=\nx=/dev/b\n[Other]\n1=/dev/c\n", {}, 1},
                      // The first entry of a number counts, even an empty one.
                      NextFreeCase{"FirstEntryCounts", "[Ports]\n1=\n1=/dev/a\n2=/dev/b\n", {}, 1},
                      NextFreeCase{"CommentsAndBom", "\xEF\xBB\xBF; c\r\n[Ports]\r\n#1=/dev/a\r\n1 = \"/dev/b\"\r\n", {}, 2}),
    [](const ::testing::TestParamInfo<NextFreeCase>& info) { return std::string(info.param.name); });

TEST(SerialPortAccess, RealCheckNamesMissingDevicesAndPassesOpenableOnes)
{
    const PortAccess missing = CheckPortAccess(QStringLiteral("/dev/zorp-no-such-port"));
    EXPECT_FALSE(missing.Ok);
    EXPECT_TRUE(missing.Problem.contains(QStringLiteral("does not exist")));
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_TRUE(CheckPortAccess(pty.slavePath()).Ok);
}

} // namespace
