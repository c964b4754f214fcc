// SPDX-License-Identifier: GPL-3.0-or-later
// The bus monitor window on the timed serial line: a master polls two
// units while the window listens on the line's tap; every frame is shown
// and paired, the filters narrow the table, the values the master read are
// decoded, and the frames are saved as CSV. With ZORP_SHOTS_DIR set, the
// window is saved as a picture there.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTableWidget>
#include <QTabWidget>
#include <atomic>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "BusMonitorWindow.h"
#include "GuiSupport.h"
#include "TimedLine.h"

using namespace zorptest;

namespace {

class BusMonitorGui : public GuiWindowTest {};

TEST_F(BusMonitorGui, ShowsAndPairsAMasterPollingTwoUnits)
{
    LineFormat fmt;
    fmt.baud = 115200;
    TimedLine line(fmt);
    ASSERT_TRUE(line.ok());
    line.setResponder([&](const std::vector<uint8_t>& q) {
        std::vector<uint8_t> a = NormalAnswer(q, q[0]);
        if (q[0] == 2 && q[1] == 4) { // unit 2 has no input registers
            a = {2, 0x84, 0x02};
            AppendCrc(a);
        }
        return std::vector<Burst>{{2 * fmt.silenceNs(), a, 0}};
    });
    line.enableTap();
    line.start();

    auto* act = w->findChild<QAction*>("actBusMonitor");
    ASSERT_NE(act, nullptr);
    act->trigger();
    auto* mon = w->findChild<TfrmBusMonitor*>("frmBusMonitor");
    ASSERT_NE(mon, nullptr);
    ASSERT_TRUE(mon->isVisible());
    mon->cbDevice->setCurrentText(QString::fromStdString(line.tapDevicePath()));
    mon->cbBaud->setCurrentText("115200");
    mon->btnStart->click();
    ASSERT_TRUE(mon->Running()) << (boxes.isEmpty() ? "" : boxes.last().Text.toStdString());

    // The master: unit 1 holding registers 0-9, unit 2 registers 0-3 and an input register it refuses.
    constexpr int kRounds = 5;
    std::atomic<bool> done{false};
    std::thread master([&] {
        const int fd = ::open(line.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        uint8_t sink[512];
        for (int r = 0; r < kRounds; ++r) {
            for (std::vector<uint8_t> q : {std::vector<uint8_t>{1, 3, 0, 0, 0, 10}, {2, 3, 0, 0, 0, 4}, {2, 4, 0, 0, 0, 1}}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                AppendCrc(q);
                const size_t before = line.record().size();
                if (::write(fd, q.data(), q.size()) != ssize_t(q.size())) break;
                for (int i = 0; i < 2000 && !(line.record().size() >= before + q.size() && line.quiet()); ++i)
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                while (::read(fd, sink, sizeof sink) > 0) {}
            }
        }
        ::close(fd);
        done = true;
    });
    const int frames = kRounds * 3 * 2;
    const bool all = waitUntil([&] { return done && mon->Frames->rowCount() >= frames; }, 20000);
    master.join();
    ASSERT_TRUE(all) << mon->Frames->rowCount();
    mon->RefreshTables();
    EXPECT_EQ(mon->Stats().Frames(), uint64_t(frames));
    EXPECT_EQ(mon->Stats().Paired(), uint64_t(frames / 2));
    EXPECT_EQ(mon->Stats().Exceptions(), uint64_t(kRounds));

    // Filters: unit 2, then its function 4 only.
    mon->cbUnit->setCurrentIndex(mon->cbUnit->findData(2));
    EXPECT_EQ(mon->Filter->rowCount(), kRounds * 2 * 2);
    mon->cbFunction->setCurrentIndex(mon->cbFunction->findData(4));
    EXPECT_EQ(mon->Filter->rowCount(), kRounds * 2);
    EXPECT_EQ(mon->twStats->rowCount(), 1);
    mon->cbFunction->setCurrentIndex(0);
    mon->cbUnit->setCurrentIndex(0);

    // The values unit 1's master read: register a holds a + 1; as a 32-bit
    // number over registers 0 and 1: 0x00010002.
    mon->cbType->setCurrentText("SInt32 (Integer, LongInt) AABB CCDD");
    ASSERT_GE(mon->twValues->rowCount(), 14);
    EXPECT_EQ(mon->twValues->item(0, 4)->text(), "65538");
    EXPECT_EQ(mon->twValues->item(0, 5)->text(), "0001");
    mon->cbType->setCurrentIndex(0);

    const QString csv = configDir.filePath("frames.csv");
    mon->SaveCsv(csv);
    QFile f(csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll().count('\n'), frames + 1);

    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
        const QString dir = qEnvironmentVariable("ZORP_SHOTS_DIR");
        mon->grab().save(dir + "/bus_monitor_frames.png");
        mon->tabs->setCurrentIndex(1);
        mon->grab().save(dir + "/bus_monitor_stats.png");
        mon->tabs->setCurrentIndex(2);
        mon->grab().save(dir + "/bus_monitor_values.png");
    }
    mon->btnStart->click();
    EXPECT_FALSE(mon->Running());
    line.stop();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.first().Text.toStdString();
}

} // namespace
