// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the title window, the designed layout of the main window and its
// anchoring, and the error guard.
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QImage>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include "AppErrors.h"
#include "CommLog.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "uMaster.h"
#include "uSplash.h"

using namespace zorptest;

namespace {

// Records the order in which top-level windows are shown and hidden.
class ShowRecorder : public QObject {
public:
    QStringList events;
    QElapsedTimer clock;
    qint64 splashShownAt = -1, splashHiddenAt = -1;
    bool eventFilter(QObject* o, QEvent* e) override
    {
        auto* wdg = qobject_cast<QWidget*>(o);
        if (wdg && wdg->isWindow() && (e->type() == QEvent::Show || e->type() == QEvent::Hide)) {
            const bool show = e->type() == QEvent::Show;
            events << QStringLiteral("%1 %2").arg(show ? "show" : "hide", o->objectName());
            if (o->objectName() == QLatin1String("frmSplash")) {
                (show ? splashShownAt : splashHiddenAt) = clock.elapsed();
                if (show)
                    mainVisibleWhileSplash = mainVisibleWhileSplash || anyMainVisible();
            }
        }
        return false;
    }
    bool mainVisibleWhileSplash = false;
    static bool anyMainVisible()
    {
        for (QWidget* t : QApplication::topLevelWidgets())
            if (qobject_cast<TfrmModbusMaster*>(t) && t->isVisible())
                return true;
        return false;
    }
};

class WindowStartTest : public GuiWindowTest {
protected:
    void SetUp() override
    {
        createInSetUp = false;
        GuiWindowTest::SetUp();
    }
};

} // namespace

TEST(TitleWindow, StaysFor1500msByDefaultAndLooksAsDesigned)
{
    // Each test runs in a process of its own: no duration was set here.
    qunsetenv("ZORP_SPLASH_MS");
    EXPECT_EQ(TfrmSplash::Duration(), 1500);
    TfrmSplash s;
    EXPECT_EQ(s.SplashTimer->interval(), 1500);
    EXPECT_TRUE(s.SplashTimer->isSingleShot());
    EXPECT_TRUE(s.SplashTimer->isActive());
    EXPECT_EQ(s.size(), QSize(560, 313));
    EXPECT_TRUE(s.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(s.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(s.imgSplash->geometry(), QRect(0, 0, 560, 313));
    EXPECT_EQ(s.lblTitle->text(), "ZORP");
    EXPECT_EQ(s.lblTitle->geometry(), QRect(216, 74, 129, 52));
    EXPECT_EQ(s.lblTitle->font().pixelSize(), 43);
    EXPECT_TRUE(s.lblTitle->font().bold());
    EXPECT_EQ(s.lblSubtitle->text(), "Zelvara");
    EXPECT_EQ(s.lblSubtitle->geometry(), QRect(128, 136, 300, 80));
    EXPECT_EQ(s.lblSubtitle->font().pixelSize(), 33);
    EXPECT_TRUE(s.lblSubtitle->wordWrap());
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(s.geometry().center().x(), screen.center().x());
}

TEST_F(WindowStartTest, TitleWindowClosesBeforeTheMainWindowAppears)
{
    TfrmSplash::ResetInstance();
    TfrmSplash::SetDuration(150);
    ShowRecorder rec;
    rec.clock.start();
    qApp->installEventFilter(&rec);
    createWindow();
    qApp->removeEventFilter(&rec);

    ASSERT_GE(rec.events.size(), 3);
    EXPECT_EQ(rec.events.value(0), "show frmSplash");
    EXPECT_EQ(rec.events.value(1), "hide frmSplash");
    EXPECT_TRUE(rec.events.contains("show frmModbusMaster"));
    EXPECT_LT(rec.events.indexOf("hide frmSplash"), rec.events.indexOf("show frmModbusMaster"));
    EXPECT_FALSE(rec.mainVisibleWhileSplash);
    // The title window stood for its duration (a lower bound, not a speed figure).
    EXPECT_GE(rec.splashHiddenAt - rec.splashShownAt, 100);
    // It stays in memory; a second main window does not show it again.
    ASSERT_NE(TfrmSplash::Instance(), nullptr);
    EXPECT_FALSE(TfrmSplash::Instance()->isVisible());
    ShowRecorder rec2;
    qApp->installEventFilter(&rec2);
    TfrmModbusMaster second;
    qApp->removeEventFilter(&rec2);
    EXPECT_FALSE(rec2.events.contains("show frmSplash"));
}

TEST_F(GuiWindowTest, OpensWithTheDesignedDefaults)
{
    EXPECT_EQ(w->windowTitle(), "ZORP (Zelvara) v. 1.0.2");
    // The designed client area below the menu bar; the window grows by the menu.
    EXPECT_EQ(w->Client->geometry(), QRect(0, w->MenuHeight(), 922, 712));
    EXPECT_EQ(w->size(), QSize(922, 712 + w->MenuHeight()));
    EXPECT_GT(w->MenuHeight(), 0);
    EXPECT_EQ(w->font().family(), "Tahoma");
    EXPECT_EQ(w->font().pixelSize(), 11);
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(235, 235, 235));
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(w->frameGeometry().center().x() - avail.center().x()), 2);
    EXPECT_LE(std::abs(w->frameGeometry().center().y() - avail.center().y()), 2);

    struct Edit {
        TLabeledEdit* e;
        const char* name;
        const char* label;
        QRect geom;
        const char* text;
        int maxLen;
    } edits[] = {
        {w->leIP, "leIP", "IP:", {192, 24, 121, 21}, "192.168.0.115", 15},
        {w->lePort, "lePort", "Port:", {192, 48, 121, 21}, "502", 5},
        {w->leCOM, "leCOM", "COM:", {360, 24, 65, 21}, "1", 3},
        {w->leSpeed, "leSpeed", "Speed:", {360, 48, 65, 21}, "9600", 7},
        {w->leParity, "leParity", "Parity:", {480, 24, 65, 21}, "E", 1},
        {w->leDataBits, "leDataBits", "Data Bits:", {480, 48, 65, 21}, "8", 1},
        {w->leStopBits, "leStopBits", "Stop Bits:", {600, 24, 65, 21}, "1", 1},
        {w->leSlaveID, "leSlaveID", "Slave ID:", {64, 24, 65, 21}, "1", 3},
        {w->leStartAddress, "leStartAddress", "Start Address:", {496, 24, 65, 21}, "1", 5},
        {w->leLength, "leLength", "Length:", {648, 24, 65, 21}, "1", 3},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.e->objectName(), e.name);
        EXPECT_EQ(e.e->geometry(), e.geom);
        EXPECT_EQ(e.e->text(), e.text);
        EXPECT_EQ(e.e->maxLength(), e.maxLen);
        EXPECT_EQ(e.e->EditLabel()->text(), e.label);
        // The label stands on the box's left, on the same line.
        EXPECT_LE(e.e->EditLabel()->geometry().right(), e.geom.left() - 1);
        EXPECT_EQ(e.e->EditLabel()->geometry().top(), e.geom.top());
        EXPECT_EQ(e.e->palette().color(QPalette::Base), QColor(234, 242, 234));
        EXPECT_TRUE(e.e->isEnabled());
    }
    EXPECT_EQ(w->leIP->parentWidget(), w->gbSettings);
    EXPECT_EQ(w->leSlaveID->parentWidget(), w->gbData);

    EXPECT_EQ(w->gbSettings->geometry(), QRect(8, 0, 906, 93));
    EXPECT_EQ(w->gbSettings->title(), "Settings:");
    EXPECT_EQ(w->gbData->geometry(), QRect(8, 92, 906, 425));
    EXPECT_EQ(w->gbData->title(), "Data:");
    EXPECT_EQ(w->gbComm->geometry(), QRect(8, 518, 906, 172));
    EXPECT_EQ(w->gbComm->title(), "Communication Log:");

    EXPECT_EQ(w->rgModbusMode->geometry(), QRect(14, 17, 135, 69));
    EXPECT_EQ(w->rgModbusMode->title(), "Modbus mode:");
    EXPECT_EQ(w->rgModbusMode->Items(), QStringList({"RTU over Serial", "RTU over TCP", "TCP"}));
    EXPECT_EQ(w->rgModbusMode->ItemIndex(), 2);

    EXPECT_EQ(w->btnConnect->geometry(), QRect(678, 22, 75, 25));
    EXPECT_EQ(w->btnConnect->text(), "Connect");
    EXPECT_TRUE(w->btnConnect->isEnabled());
    EXPECT_EQ(w->btnDisconnect->geometry(), QRect(678, 46, 75, 25));
    EXPECT_EQ(w->btnDisconnect->text(), "Disconnect");
    EXPECT_FALSE(w->btnDisconnect->isEnabled());

    EXPECT_EQ(w->lblFunc->text(), "Modbus Function:");
    EXPECT_EQ(w->lblFunc->pos(), QPoint(144, 27));
    EXPECT_EQ(w->cbFunc->geometry(), QRect(235, 24, 174, 21));
    ASSERT_EQ(w->cbFunc->count(), 4);
    EXPECT_EQ(w->cbFunc->itemText(0), "01: Read Coil Status");
    EXPECT_EQ(w->cbFunc->itemText(3), "04: Read Input Registers");
    EXPECT_EQ(w->cbFunc->currentText(), "03: Read Holding Registers");
    EXPECT_EQ(w->sgData->geometry(), QRect(14, 64, 795, 326));
    EXPECT_EQ(w->btnRead->geometry(), QRect(823, 64, 75, 25));
    EXPECT_EQ(w->btnRead->text(), "Read");
    EXPECT_EQ(w->cbRealTime->geometry(), QRect(823, 95, 71, 17));
    EXPECT_EQ(w->cbRealTime->text(), "Real time");
    EXPECT_FALSE(w->cbRealTime->isChecked());
    EXPECT_EQ(w->lblSettings->text(), "Load settings:");
    EXPECT_EQ(w->lblSettings->pos(), QPoint(14, 399));
    EXPECT_EQ(w->cbSettings->geometry(), QRect(88, 396, 145, 21));
    EXPECT_EQ(w->cbSettings->count(), 0);
    EXPECT_EQ(w->btnLoadSettings->geometry(), QRect(239, 392, 88, 25));
    EXPECT_EQ(w->btnLoadSettings->text(), "Load Settings");
    EXPECT_EQ(w->btnSaveSettings->geometry(), QRect(337, 392, 88, 25));
    EXPECT_EQ(w->btnSaveSettings->text(), "Save Settings");
    for (QComboBox* c : {w->cbFunc, w->cbSettings})
        EXPECT_EQ(c->palette().color(QPalette::Button), QColor(234, 242, 234));

    // Grid: header row and column widths, one data row with address 1.
    EXPECT_EQ(w->sgData->ColCount(), 9);
    EXPECT_EQ(w->sgData->RowCount(), 2);
    EXPECT_EQ(w->sgData->FixedRows(), 1);
    EXPECT_EQ(w->sgData->FixedCols(), 1);
    const char* captions[] = {"Address",    "Data Type",  "Value",        "Description", "Data [HEX]",
                              "Data [BIN]", "Data [DEC]", "Data [BYTES]", "Data [ASCII]"};
    const int widths[] = {75, 150, 120, 100, 70, 120, 80, 80, 80};
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(w->sgData->Cells(c, 0), captions[c]);
        EXPECT_EQ(w->sgData->ColWidths(c), widths[c]);
    }

    // Log: empty, white, Courier New 11 px, filling its group.
    EXPECT_EQ(w->REComm->LineCount(), 0);
    EXPECT_EQ(w->REComm->geometry(), QRect(3, 15, 900, 155));
    EXPECT_EQ(w->REComm->font().family(), "Courier New");
    EXPECT_EQ(w->REComm->font().pixelSize(), 11);
    EXPECT_TRUE(w->gbComm->isEnabled());

    // Status bar: five panels, counters at zero, panel 0 empty.
    EXPECT_EQ(w->sBar->geometry(), QRect(0, 693, 922, 19));
    ASSERT_EQ(w->sBar->PanelCount(), 5);
    const int pw[] = {200, 100, 100, 100, 50};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(w->sBar->PanelWidth(i), pw[i]);
    EXPECT_EQ(w->sBar->PanelAlignment(0), Qt::AlignLeft);
    EXPECT_EQ(w->sBar->PanelAlignment(1), Qt::AlignRight);
    EXPECT_EQ(w->sBar->PanelAlignment(3), Qt::AlignRight);
    EXPECT_EQ(w->sBar->PanelAlignment(4), Qt::AlignLeft);
    EXPECT_EQ(w->sBar->PanelText(0), "");
    EXPECT_EQ(w->sBar->PanelText(1), "Polls: 0");
    EXPECT_EQ(w->sBar->PanelText(2), "Responses: 0");
    EXPECT_EQ(w->sBar->PanelText(3), "Errors: 0");
    EXPECT_EQ(w->sBar->PanelText(4), "");

    // Every control carries its designed name.
    for (const char* name : {"gbSettings", "rgModbusMode", "btnConnect", "btnDisconnect", "gbData", "lblFunc",
                             "cbFunc", "sgData", "btnRead", "cbRealTime", "lblSettings", "cbSettings",
                             "btnLoadSettings", "btnSaveSettings", "gbComm", "REComm", "sBar"})
        EXPECT_NE(w->findChild<QWidget*>(name), nullptr) << name;

    // The engine as placed on the window.
    EXPECT_EQ(w->mdb->ComNumber(), 1);
    EXPECT_EQ(w->mdb->ComSpeed(), 9600);
    EXPECT_EQ(w->mdb->DataBits(), 8);
    EXPECT_EQ(w->mdb->StopBits(), 1);
    EXPECT_EQ(w->mdb->Parity(), pNone);
    EXPECT_EQ(w->mdb->MaxRepeat(), 3);
    EXPECT_EQ(w->mdb->Protocol(), mbpRTU);
    EXPECT_EQ(w->mdb->InterfaceType(), mbiRS485);
    EXPECT_EQ(w->mdb->DeviceID(), 1);
    EXPECT_EQ(w->mdb->EthPort(), 0);
    EXPECT_EQ(w->mdb->Timeout(), 3000u);
    EXPECT_FALSE(w->mdb->Connected());
    EXPECT_TRUE(w->mdb->OnConnect && w->mdb->OnDisconnect && w->mdb->OnError && w->mdb->OnSendData &&
                w->mdb->OnReceiveData && w->mdb->OnReadCoils && w->mdb->OnReadHoldingRegs);
    EXPECT_FALSE(w->mdb->OnListen || w->mdb->OnClientConnect);
    EXPECT_TRUE(w->mdb->OnWriteSingleReg && w->mdb->OnWriteMultiRegs && w->mdb->OnWriteSingleCoil &&
                w->mdb->OnWriteMultiCoils);
    EXPECT_EQ(w->ReadAgainTimer->interval(), 50);
    EXPECT_TRUE(w->ReadAgainTimer->isSingleShot());
    EXPECT_FALSE(w->ReadAgainTimer->isActive());
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(GuiWindowTest, ControlsKeepTheirAnchorsWhenTheWindowIsResized)
{
    w->resize(922 + 200, 712 + 100 + w->MenuHeight());
    QCoreApplication::processEvents();
    EXPECT_EQ(w->gbSettings->geometry(), QRect(8, 0, 1106, 93));
    EXPECT_EQ(w->gbData->geometry(), QRect(8, 92, 1106, 525));
    EXPECT_EQ(w->gbComm->geometry(), QRect(8, 618, 1106, 172));
    EXPECT_EQ(w->sBar->geometry(), QRect(0, 793, 1122, 19));
    EXPECT_EQ(w->sgData->geometry(), QRect(14, 64, 995, 426));
    EXPECT_EQ(w->btnRead->geometry(), QRect(1023, 64, 75, 25));
    EXPECT_EQ(w->cbRealTime->geometry(), QRect(1023, 95, 71, 17));
    EXPECT_EQ(w->lblSettings->pos(), QPoint(14, 499));
    EXPECT_EQ(w->cbSettings->geometry(), QRect(88, 496, 145, 21));
    EXPECT_EQ(w->btnLoadSettings->geometry(), QRect(239, 492, 88, 25));
    EXPECT_EQ(w->btnSaveSettings->geometry(), QRect(337, 492, 88, 25));
    EXPECT_EQ(w->REComm->geometry(), QRect(3, 15, 1100, 155));
    // Top-left anchored controls stay.
    EXPECT_EQ(w->btnConnect->geometry(), QRect(678, 22, 75, 25));
    EXPECT_EQ(w->leSlaveID->geometry(), QRect(64, 24, 65, 21));

    // Back to the designed size: the designed layout again.
    w->resize(922, 712 + w->MenuHeight());
    QCoreApplication::processEvents();
    EXPECT_EQ(w->gbComm->geometry(), QRect(8, 518, 906, 172));
    EXPECT_EQ(w->sgData->geometry(), QRect(14, 64, 795, 326));
    // Smaller than designed: nothing gets a negative size.
    w->resize(300, 200);
    QCoreApplication::processEvents();
    EXPECT_GE(w->gbData->height(), 0);
    EXPECT_GE(w->sgData->width(), 0);
}

TEST_F(GuiWindowTest, MenuBarHostsFourMenusAboveTheClientArea)
{
    ASSERT_NE(w->MainMenu, nullptr);
    EXPECT_EQ(w->MainMenu->geometry(), QRect(0, 0, w->width(), w->MenuHeight()));
    // The four menus other features add to, and the Write menu of its own.
    const char* names[] = {"File", "View", "Write", "Options", "Help"};
    const QList<QAction*> top = w->MainMenu->actions();
    ASSERT_EQ(top.size(), 5);
    for (int i = 0; i < 5; ++i) {
        if (i == 2) {
            EXPECT_EQ(top[i]->text().remove('&'), names[i]);
            EXPECT_EQ(top[i]->menu(), w->findChild<QMenu*>("mnuWrite"));
            continue;
        }
        QMenu* m = w->ExtensionMenu(QString::fromLatin1(names[i]));
        ASSERT_NE(m, nullptr) << names[i];
        EXPECT_EQ(top[i]->menu(), m);
        EXPECT_EQ(top[i]->text().remove('&'), names[i]);
        EXPECT_EQ(w->ExtensionMenu(QString::fromLatin1(names[i]).toLower()), m);
    }
    EXPECT_EQ(w->ExtensionMenu("Edit"), nullptr);
    // Another feature adds its entry through the host.
    QAction* added = w->ExtensionMenu("View")->addAction("Chart");
    EXPECT_TRUE(w->mnuView->actions().contains(added));

    EXPECT_TRUE(w->AboutText().contains("1.0.2"));
    EXPECT_TRUE(w->AboutText().contains("Licence"));
    w->findChild<QAction*>("actAbout")->trigger();
    auto* box = w->findChild<QMessageBox*>("AboutBox");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), w->AboutText());
    box->close();
    EXPECT_TRUE(boxes.isEmpty());
}

namespace {
// Pixels darker than mid-grey in an image: the ink of drawn text.
int Ink(const QImage& img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += qGray(img.pixel(x, y)) < 128;
    return n;
}
QImage Rendered(QWidget* w)
{
    return w->grab().toImage();
}
} // namespace

TEST_F(GuiWindowTest, BoldTextIsDrawnBolderThanRegular)
{
    // The grid: the Value column is drawn bold, Data [BIN] regular; the same
    // text in both, compared by the ink they leave.
    TStringGrid& g = *w->sgData;
    g.SetCells(2, 1, "888888");
    g.SetCells(5, 1, "888888");
    const QImage img = Rendered(g.viewport());
    const int bold = Ink(img.copy(g.CellRect(2, 1)));
    const int regular = Ink(img.copy(g.CellRect(5, 1)));
    EXPECT_GT(regular, 0);
    EXPECT_GT(bold * 100, regular * 115) << bold << " vs " << regular;

    // The title window's labels are bold.
    TfrmSplash s;
    QLabel plain(s.lblTitle->text());
    QFont f = s.lblTitle->font();
    ASSERT_TRUE(f.bold());
    f.setBold(false);
    plain.setFont(f);
    plain.resize(s.lblTitle->size());
    plain.setAlignment(s.lblTitle->alignment());
    QLabel boldLabel(s.lblTitle->text());
    boldLabel.setFont(s.lblTitle->font());
    boldLabel.resize(s.lblTitle->size());
    boldLabel.setAlignment(s.lblTitle->alignment());
    EXPECT_GT(Ink(Rendered(&boldLabel)) * 100, Ink(Rendered(&plain)) * 115);
}

TEST_F(GuiWindowTest, DropDownListsAreDrawnOnTheDesignedBackground)
{
    for (QComboBox* c : {w->cbFunc, w->cbSettings}) {
        SCOPED_TRACE(c->objectName().toStdString());
        const QImage img = Rendered(c);
        // The field left of the arrow, below and above the text line: every
        // pixel of its middle column away from the text is the background.
        int designed = 0, total = 0;
        for (int y = 3; y < img.height() - 3; ++y) {
            const QColor px = img.pixelColor(4, y);
            ++total;
            designed += px == QColor(234, 242, 234);
        }
        EXPECT_GE(designed * 10, total * 8) << designed << " of " << total;
    }
}

TEST_F(GuiWindowTest, AsciiTextsDrawControlCharactersAsDotsInBothColumns)
{
    TStringGrid& g = *w->sgData;
    g.SetCells(1, 1, "ASCII");
    w->ReadData = {0x01, 0x41};
    w->ShowRegisterData();
    ASSERT_EQ(g.Cells(2, 1), QString(QChar(1)) + " A");
    // What the Value cell draws is what the same cell draws with the dot.
    const QImage withControl = Rendered(g.viewport()).copy(g.CellRect(2, 1));
    g.SetCells(2, 1, ". A");
    const QImage withDot = Rendered(g.viewport()).copy(g.CellRect(2, 1));
    EXPECT_EQ(withControl, withDot);
    EXPECT_EQ(w->CellDisplayText(2, 1), ". A");
    EXPECT_EQ(w->CellDisplayText(8, 1), ". A");
}

TEST_F(GuiWindowTest, SmallestWindowOverlapsNothingAndShowsThreeRows)
{
    // Overlapping pairs of visible controls of one container, and controls
    // that stick out of their container.
    auto overlaps = [this] {
        QStringList found;
        for (QWidget* parent : {w->Client, static_cast<QWidget*>(w->gbSettings), static_cast<QWidget*>(w->gbData),
                                static_cast<QWidget*>(w->gbComm)}) {
            QList<QWidget*> kids;
            for (QObject* o : parent->children())
                if (auto* k = qobject_cast<QWidget*>(o); k && k->isVisible())
                    kids << k;
            for (int i = 0; i < kids.size(); ++i) {
                if (!parent->rect().contains(kids[i]->geometry()))
                    found << kids[i]->objectName() + " outside";
                for (int j = i + 1; j < kids.size(); ++j)
                    if (kids[i]->geometry().intersects(kids[j]->geometry()))
                        found << kids[i]->objectName() + " / " + kids[j]->objectName();
            }
        }
        return found;
    };
    // The designed layout has its own touching edges; the smallest adds none.
    const QStringList designed = overlaps();
    w->resize(1, 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(w->size(), w->minimumSize());
    EXPECT_EQ(w->Client->size(), w->MinimumClientSize());
    EXPECT_LT(w->minimumWidth(), 922);
    EXPECT_GE(w->sgData->VisibleRowCount(), 3);
    EXPECT_EQ(overlaps(), designed);
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR"))
        w->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/smallest_window.png");
}

TEST_F(GuiWindowTest, RestoredTextsStayWholeAndTheLimitAppliesToTyping)
{
    const QString host = "plc-line7.factory.example.org";
    w->leIP->setText(host);
    EXPECT_EQ(w->leIP->text(), host);
    EXPECT_EQ(w->leIP->maxLength(), 15);
    // Typing cannot lengthen it; deleting shortens it, and then the limit holds.
    w->leIP->setFocus();
    w->leIP->end(false);
    QTest::keyClicks(w->leIP, "9");
    EXPECT_EQ(w->leIP->text(), host);
    w->leIP->selectAll();
    QTest::keyClicks(w->leIP, "10.20.30.40.50.60");
    EXPECT_EQ(w->leIP->text(), "10.20.30.40.50.");
}

TEST(StrictConversion, AcceptsOnlyDecimalIntegersWithin32Bits)
{
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("502"), 502);
    EXPECT_EQ(StrToInt("-17"), -17);
    EXPECT_EQ(StrToInt("+8"), 8);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", " 1", "1 ", "abc", "1a", "-", "+", "2147483648", "99999999999999999999", "1.5", "0x10"}) {
        SCOPED_TRACE(bad);
        try {
            StrToInt(QString::fromLatin1(bad));
            ADD_FAILURE() << "no exception";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("''%1'' is not a valid integer value").arg(QString::fromLatin1(bad)));
        }
    }
    EXPECT_EQ(StrToIntDef("", 9600), 9600);
    EXPECT_EQ(StrToIntDef("12x", 8), 8);
    EXPECT_EQ(StrToIntDef("19200", 8), 19200);
}

TEST(ErrorGuard, ShowsTheMessageWithAFullStopAndStopsTheHandler)
{
    QList<GuiErrorBox> seen;
    SetErrorBoxHook([&](const QString& t, const QString& m) { seen.append({t, m}); });
    bool after = false;
    EXPECT_FALSE(RunGuarded([&] {
        StrToInt("x1");
        after = true;
    }));
    EXPECT_FALSE(after);
    EXPECT_TRUE(RunGuarded([] {}));
    EXPECT_FALSE(RunGuarded([] { throw EFileWriteError("/ro/setings.ini"); }));
    EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("boom"); }));
    EXPECT_FALSE(RunGuarded([] { throw 42; }));
    SetErrorBoxHook(nullptr);
    ASSERT_EQ(seen.size(), 4);
    EXPECT_EQ(seen[0].Title, "ZORP");
    EXPECT_EQ(seen[0].Text, "''x1'' is not a valid integer value.");
    EXPECT_EQ(seen[1].Text, "Unable to write to /ro/setings.ini.");
    EXPECT_EQ(seen[2].Text, "boom.");
    EXPECT_FALSE(seen[3].Text.isEmpty());
}
