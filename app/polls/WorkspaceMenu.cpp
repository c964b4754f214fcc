// SPDX-License-Identifier: GPL-3.0-or-later
// Connection windows side by side, and the workspace file that keeps them.
#include "WorkspaceMenu.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QSaveFile>
#include <algorithm>
#include <climits>

#include "AppErrors.h"
#include "FormStorage.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "RealTimeIntent.h"
#include "RegisterTools.h"
#include "SettingsLock.h"
#include "SimulatorWindow.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "uMaster.h"
#include "VexaModbus.h"
#include "uPoll.h"
#include "WindowPlacement.h"

using zorp::TWorkspace;
using zorp::TWorkspaceLink;
using zorp::TWorkspacePoll;
using zorp::TWorkspaceRect;

namespace {

const QString kReopen = QStringLiteral("ReopenWorkspace");
const QString kLast = QStringLiteral("LastWorkspace");
constexpr int colDataType = 1;
constexpr int colDescription = 3;

TWorkspaceRect rectOf(const QWidget* w)
{
    const QRect g = w->geometry();
    return TWorkspaceRect{g.x(), g.y(), g.width(), g.height()};
}

// A window where the workspace had it; one that would be off every screen
// here (a file from a larger desktop) is brought onto the primary screen.
void place(QWidget* w, const TWorkspaceRect& r)
{
    if (!r.Valid()) return;
    zorp::TWindowPlacement p = zorp::GetWindowPlacement(w);
    p.left = r.X;
    p.top = r.Y;
    p.right = int(std::clamp<qint64>(qint64(r.X) + r.Width, INT_MIN, INT_MAX));
    p.bottom = int(std::clamp<qint64>(qint64(r.Y) + r.Height, INT_MIN, INT_MAX));
    zorp::SetWindowPlacement(w, p);
}

int number(const QString& text, int def)
{
    int v = def;
    return TryStrToInt(text, v) ? v : def;
}

TWorkspacePoll fromSettings(const TPollSettings& s)
{
    TWorkspacePoll p;
    p.Unit = s.Unit;
    p.Func = s.Func;
    p.Start = s.Start;
    p.Length = s.Length;
    p.IntervalMs = s.IntervalMs;
    p.Types = s.Types;
    p.Descriptions = s.Descriptions;
    return p;
}

TPollSettings toSettings(const TWorkspacePoll& p)
{
    TPollSettings s;
    s.Unit = p.Unit;
    s.Func = p.Func;
    s.Start = p.Start;
    s.Length = p.Length;
    s.IntervalMs = p.IntervalMs;
    s.Types = p.Types;
    s.Descriptions = p.Descriptions;
    return s;
}

TWorkspaceLink collectLink(TfrmModbusMaster* m)
{
    TWorkspaceLink l;
    const int mode = m->rgModbusMode->ItemIndex();
    l.Mode = mode == 0 ? QStringLiteral("serial") : mode == 1 ? QStringLiteral("rtu-tcp") : QStringLiteral("tcp");
    l.Host = m->leIP->text();
    l.Port = number(m->lePort->text(), 502);
    l.Com = number(m->leCOM->text(), 1);
    l.Baud = number(m->leSpeed->text(), 9600);
    l.Parity = m->leParity->text().isEmpty() ? QStringLiteral("N") : m->leParity->text().left(1).toUpper();
    l.DataBits = number(m->leDataBits->text(), 8);
    l.StopBits = number(m->leStopBits->text(), 1);
    l.Window = rectOf(m);
    l.Addresses = m->FOptions.Addresses;
    TWorkspacePoll& panel = l.Panel;
    panel.Unit = number(m->leSlaveID->text(), 1);
    panel.Func = m->cbFunc->currentIndex() >= 0 ? m->cbFunc->currentIndex() + 1 : 3;
    // The workspace keeps the designed 1-based start, whatever notation the
    // field is shown in.
    int start = 1;
    panel.Start = m->TryStartAddressField(m->leStartAddress->text(), start) ? start : 1;
    panel.Length = std::clamp(number(m->leLength->text(), 1), 1, 255);
    panel.IntervalMs = 0;
    // The Data panel's Real time as the workspace had it, until the box changes.
    panel.RealTime = zorp::RealTimeAsStored(m->cbRealTime);
    for (int r = 1; r < m->sgData->RowCount() && r <= zorp::kMaxWorkspaceRows; ++r) {
        panel.Types.append(m->sgData->Cells(colDataType, r));
        panel.Descriptions.append(m->sgData->Cells(colDescription, r));
    }
    for (TfrmPoll* f : m->PollWindows->Windows()) {
        TWorkspacePoll p = fromSettings(f->CurrentSettings());
        p.Name = f->Poll->Name;
        p.Scaling = f->Scalings();
        // A Real time still waiting for the link is kept as Real time.
        p.RealTime = f->Poll->RealTime() || zorp::HasRealTimeIntent(f->cbRealTime);
        p.Window = rectOf(f);
        l.Polls.append(p);
    }
    return l;
}

void applyLink(const TWorkspaceLink& l, TfrmModbusMaster* m)
{
    m->rgModbusMode->SetItemIndex(l.Mode == QLatin1String("serial") ? 0 : l.Mode == QLatin1String("rtu-tcp") ? 1 : 2);
    m->leIP->setText(l.Host);
    m->lePort->setText(QString::number(l.Port));
    m->leCOM->setText(QString::number(l.Com));
    m->leSpeed->setText(QString::number(l.Baud));
    m->leParity->setText(l.Parity);
    m->leDataBits->setText(QString::number(l.DataBits));
    m->leStopBits->setText(QString::number(l.StopBits));
    // A window maximized (as stored, or by the user) stays so.
    if (!(m->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) place(m, l.Window);
    // The notation first: the Start Address field and the poll windows are
    // written in it.
    if (l.Addresses && m->RegisterTools) m->RegisterTools->SetNotation(*l.Addresses);
    const TWorkspacePoll& panel = l.Panel;
    m->leSlaveID->setText(QString::number(panel.Unit));
    m->cbFunc->setCurrentIndex(panel.Func - 1);
    m->leStartAddress->setText(m->AddressText(panel.Start, panel.Func));
    m->leLength->setText(QString::number(panel.Length));
    // The tester does not start the Data panel's Real time from a workspace;
    // the file's wish is kept for the next save (and zorp-poll) until the
    // user changes the box.
    zorp::DropRealTimeIntent(m->cbRealTime);
    if (panel.RealTime && !m->cbRealTime->isChecked()) zorp::KeepRealTimeIntent(m->cbRealTime);
    m->sgData->SetRowCount(std::max(2, panel.Length + 1));
    for (int r = 1; r < m->sgData->RowCount(); ++r) {
        m->sgData->SetCells(colDataType, r, panel.Types.value(r - 1));
        m->sgData->SetCells(colDescription, r, panel.Descriptions.value(r - 1));
    }
    m->MarkContinuationRows();
    m->FillAddresses();
    m->PollWindows->CloseAll();
    for (const TWorkspacePoll& p : l.Polls) {
        const TPollSettings s = toSettings(p);
        TfrmPoll* f = m->PollWindows->NewPollWindow(&s);
        if (!p.Name.isEmpty()) f->Poll->Name = p.Name;
        f->SetScalings(p.Scaling);
        place(f, p.Window);
        f->show();
        // Real time goes on again when the link is up: now, or when it is
        // connected (TPollWindows::LinkUp), unless the user changes the box first.
        if (!p.RealTime) continue;
        if (m->mdb->Connected()) f->cbRealTime->setChecked(true);
        else zorp::KeepRealTimeIntent(f->cbRealTime, QStringLiteral("Real time starts when the link is connected"));
    }
}

} // namespace

TWorkspaceMenu::TWorkspaceMenu(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("WorkspaceMenu"));
    auto action = [this](const char* name, const QString& text, auto handler) {
        auto* a = new QAction(text, this);
        a->setObjectName(QLatin1String(name));
        connect(a, &QAction::triggered, this, [handler] { RunGuarded(handler); });
        return a;
    };
    actNewConnection = action("actNewConnection", QStringLiteral("New &connection window"), [] { NewConnectionWindow(); });
    actOpenWorkspace = action("actOpenWorkspace", QStringLiteral("&Open workspace..."), [this] {
        const QString name = AskFile(false);
        if (!name.isEmpty()) OpenWorkspace(name);
    });
    actSaveWorkspace = action("actSaveWorkspace", QStringLiteral("Save &workspace as..."), [this] {
        const QString name = AskFile(true);
        if (!name.isEmpty()) SaveWorkspace(name);
    });
    actReopenWorkspace = new QAction(QStringLiteral("Reopen the last workspace at start"), this);
    actReopenWorkspace->setObjectName(QStringLiteral("actReopenWorkspace"));
    actReopenWorkspace->setCheckable(true);
    actReopenWorkspace->setChecked(ReopenAtStart());
    connect(actReopenWorkspace, &QAction::toggled, this,
            [this](bool on) { RunGuarded([&] { StoreOption(kReopen, on ? QStringLiteral("1") : QStringLiteral("0")); }); });

    // File: the poll window's entry first, then these, then the designed ones.
    QMenu* file = Owner->mnuFile;
    QAction* before = file->actions().value(2);
    file->insertActions(before, {actNewConnection, actOpenWorkspace, actSaveWorkspace});
    file->insertSeparator(before);
    Owner->mnuOptions->addAction(actReopenWorkspace);

    // Another program holds the settings: this one says it stores none.
    if (!zorp::OwnsSettings()) {
        Owner->sBar->SetPanelText(4, QStringLiteral("Settings not stored"));
        Owner->sBar->SetPanelHint(4, zorp::SettingsNotStoredText());
    }
    // The first window of the program reopens the last workspace once it is
    // built and shown with its stored settings (the title window's loop runs
    // before them), through the event queue: the workspace comes last and
    // wins over "setings.ini" and the last grid layout.
    if (ConnectionWindows().size() <= 1)
        connect(Owner, &TfrmModbusMaster::SettingsRestored, this, [this] { RunGuarded([this] { ReopenLast(); }); },
                Qt::QueuedConnection);
}

void TWorkspaceMenu::ReopenLast()
{
    if (!FOwner->FKeepsSettings || !ReopenAtStart()) return;
    const QString last = LastWorkspace();
    if (!last.isEmpty() && QFileInfo::exists(last)) OpenWorkspace(last);
}

QList<TfrmModbusMaster*> TWorkspaceMenu::ConnectionWindows()
{
    QList<TfrmModbusMaster*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<TfrmModbusMaster*>(w)) {
            if (m->FKeepsSettings) out.prepend(m);
            else out.append(m);
        }
    return out;
}

TfrmModbusMaster* TWorkspaceMenu::NewConnectionWindow()
{
    auto* m = new TfrmModbusMaster();
    m->FKeepsSettings = false;
    m->setAttribute(Qt::WA_DeleteOnClose);
    m->setWindowTitle(m->windowTitle() + QStringLiteral(" (%1)").arg(ConnectionWindows().size()));
    m->show();
    return m;
}

namespace {
// The program's simulator windows on screen (a closed one is on its way out).
QList<TfrmSimulator*> simulatorWindows()
{
    QList<TfrmSimulator*> out;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* s = dynamic_cast<TfrmSimulator*>(top); s && s->isVisible())
            out.append(s);
    return out;
}
} // namespace

TWorkspace TWorkspaceMenu::Collect()
{
    TWorkspace w;
    for (TfrmModbusMaster* m : ConnectionWindows()) w.Links.append(collectLink(m));
    for (const TfrmSimulator* s : simulatorWindows()) w.Simulators.append(s->saveState());
    return w;
}

void TWorkspaceMenu::Apply(const TWorkspace& W, TfrmModbusMaster* First)
{
    // Other connection windows go; the workspace's links come instead.
    for (TfrmModbusMaster* m : ConnectionWindows())
        if (m != First && !m->FKeepsSettings) m->close();
    // So do the simulator windows; the workspace's come back set up, not
    // listening (a port may be taken meanwhile: Start says so).
    for (TfrmSimulator* s : simulatorWindows()) s->close(); // deleted on close
    for (const QJsonObject& o : W.Simulators) {
        auto* s = new TfrmSimulator(First);
        s->restoreState(o);
        s->show();
    }
    if (W.Links.isEmpty()) return;
    applyLink(W.Links.front(), First);
    for (int i = 1; i < W.Links.size(); ++i) applyLink(W.Links[i], NewConnectionWindow());
}

void TWorkspaceMenu::SaveWorkspace(const QString& FileName)
{
    QSaveFile f(FileName);
    const QByteArray bytes = zorp::WorkspaceToJson(Collect());
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        throw EFileWriteError(FileName);
    StoreOption(kLast, QFileInfo(FileName).absoluteFilePath());
}

void TWorkspaceMenu::OpenWorkspace(const QString& FileName)
{
    QFile f(FileName);
    if (!f.open(QIODevice::ReadOnly)) throw EAppError(QStringLiteral("Cannot read %1").arg(FileName));
    // A workspace is small; a file far larger is no workspace.
    if (f.size() > 16 * 1024 * 1024) throw EAppError(QStringLiteral("%1 is too large for a workspace").arg(FileName));
    TWorkspace w;
    QString error;
    if (!zorp::WorkspaceFromJson(f.readAll(), w, error)) throw EAppError(QStringLiteral("%1: %2").arg(FileName, error));
    Apply(w, FOwner);
    StoreOption(kLast, QFileInfo(FileName).absoluteFilePath());
}

bool TWorkspaceMenu::ReopenAtStart() const
{
    return zorp::TIniFile(FOwner->OptionsFileName()).ReadString(TTesterOptions::Section(), kReopen, QString()) ==
           QLatin1String("1");
}

QString TWorkspaceMenu::LastWorkspace() const
{
    return zorp::TIniFile(FOwner->OptionsFileName()).ReadString(TTesterOptions::Section(), kLast, QString());
}

void TWorkspaceMenu::StoreOption(const QString& Key, const QString& Value)
{
    if (!FOwner->FKeepsSettings || !zorp::OwnsSettings()) return;
    zorp::TIniFile ini(FOwner->OptionsFileName());
    ini.WriteString(TTesterOptions::Section(), Key, Value);
    if (!ini.UpdateFile()) throw EFileWriteError(FOwner->OptionsFileName());
}

QString TWorkspaceMenu::AskFile(bool Save)
{
    if (AskFileHook) return AskFileHook(Save);
    QFileDialog dlg(FOwner);
    dlg.setWindowTitle(Save ? QStringLiteral("Save workspace as") : QStringLiteral("Open workspace"));
    dlg.setNameFilter(QStringLiteral("Workspace (*.zws);;All files (*)"));
    dlg.setDefaultSuffix(QStringLiteral("zws"));
    dlg.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    return dlg.selectedFiles().front();
}
