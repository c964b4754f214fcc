// SPDX-License-Identifier: GPL-3.0-or-later
// A profile saved by the tester, read by zorp-poll from the same slave: each
// typed row prints the Value, type and description the tester's grid shows.
#include <QComboBox>
#include <QPushButton>
#include <QDir>

#include "LabeledEdit.h"
#include "PeerProcess.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "TestSupport.h"
#include "ValueDecoding.h"
#include "VexaModbus.h"

using namespace zorptest;

namespace {

class PollProfileTest : public SettingsWindowTest {
protected:
    void TearDown() override
    {
        if (W) {
            W->mdb->Disconnect();
            spin(50);
        }
        SettingsWindowTest::TearDown();
        Slave.Stop();
    }
    SettingsPySlave Slave;
};

} // namespace

TEST_F(PollProfileTest, PrintsWhatTheTesterShows)
{
    ASSERT_TRUE(Slave.Start()) << "python3-pymodbus server did not start";
    CreateWindow();
    W->rgModbusMode->SetItemIndex(2);
    W->leIP->setText("127.0.0.1");
    W->lePort->setText(QString::number(Slave.Port()));
    RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
    ASSERT_TRUE(waitUntil([this] { return W->mdb->Connected(); }, 10000));

    // Rows of every width, an untyped row, a row with an unknown type, and a
    // four-register value that runs past the last row.
    const QStringList types = {"Single (Float) DDCC BBAA", "---", "SInt16 (SmallInt) BBAA", "", "ASCII",
                               "Int64 GGHH EEFF CCDD AABB", "---", "---", "---", "no such type",
                               "UInt32 (LongWord) CCDD AABB", "---", "Double (Real) HHGG FFEE DDCC BBAA", "---"};
    W->leStartAddress->setText("7");
    W->leLength->setText(QString::number(types.size()));
    W->cbFunc->setCurrentIndex(3); // 04: Read Input Registers
    W->sgData->SetRowCount(int(types.size()) + 1);
    W->FillAddresses();
    W->leSlaveID->setText("1");
    ASSERT_EQ(W->sgData->RowCount(), types.size() + 1);
    for (int r = 1; r <= types.size(); ++r) {
        W->sgData->SetCells(1, r, types[r - 1]);
        W->sgData->SetCells(3, r, r == 3 ? QStringLiteral("pump, \"A\"") : QStringLiteral("row %1").arg(r));
    }
    zorp::SetSaveDialogHook([](QFileDialog*) { return QStringLiteral("pump"); });
    RunGuarded([this] { W->btnSaveSettingsClick(W->btnSaveSettings); });
    ASSERT_TRUE(QFile::exists(ProfilePath("pump.zvst")));

    RunGuarded([this] { W->btnReadClick(W->btnRead); });
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }, 10000));
    ASSERT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();

    QByteArray expected;
    for (int r = 1; r <= types.size(); ++r) {
        const QString type = W->sgData->Cells(1, r);
        if (type.isEmpty() || type == u"---" || type == u"no such type") continue;
        // The Value as the grid draws it (control characters as ".").
        const QString value = type == u"ASCII" ? ValueDecoding::AsciiDisplayText(W->sgData->Cells(2, r))
                                               : W->sgData->Cells(2, r);
        expected += QStringLiteral("%1\t%2\t%3\t%4\n")
                        .arg(W->sgData->Cells(0, r), type, value, W->sgData->Cells(3, r))
                        .toUtf8();
    }
    const auto result = runProgram(QDir(binaryDir()).filePath(QStringLiteral("zorp-poll")),
                                   {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(Slave.Port()),
                                    QStringLiteral("--profile"), ProfilePath("pump.zvst")});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_EQ(result.out.toStdString(), expected.toStdString());
    // The value that runs past the end has no Value, as in the grid.
    EXPECT_TRUE(expected.contains("\tDouble (Real) HHGG FFEE DDCC BBAA\t\trow 13\n")) << expected.toStdString();
}
