// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll --workspace: the polls of a workspace file, headless.
#include "WorkspaceRun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

#include "Poller.h"
#include "Profile.h"
#include "VexaModbus.h"
#include "WorkspaceFile.h"

namespace {

struct TRunPoll {
    Options Opt;
    std::unique_ptr<TPollOutput> Output;
    int IntervalMs = 0;
    long Done = 0;
    qint64 NextDue = 0;
    bool Queued = false;
};

// One link: its engine and the turns of its polls.
class TLinkRun {
public:
    TLinkRun(const Options& Link, std::vector<std::unique_ptr<TRunPoll>> Polls, long Repeat)
        : FPolls(std::move(Polls)), FRepeat(Repeat), FLinkOpt(Link)
    {
        FMdb = new TVexaModbus(nullptr);
        ConfigureEngine(*FMdb, Link);
        FTimer.setSingleShot(true);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Schedule(); });
        FMdb->OnConnect = [this](QObject*) { Schedule(); };
        FMdb->OnError = [this](QObject*, int32_t code) { Answer(nullptr, nullptr, code); };
        FMdb->OnReadCoils = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>& d) { Answer(nullptr, &d, 0); };
        FMdb->OnReadDiscreteInputs = [this](QObject*, uint8_t, uint16_t, uint16_t n, const std::vector<uint8_t>& d) {
            std::vector<bool> bits(n);
            for (size_t k = 0; k < n && k / 8 < d.size(); ++k) bits[k] = (d[k / 8] >> (k % 8)) & 1;
            Answer(nullptr, &bits, 0);
        };
        auto regs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) { Answer(&d, nullptr, 0); };
        FMdb->OnReadHoldingRegs = regs;
        FMdb->OnReadInputRegs = regs;
    }
    ~TLinkRun() { delete FMdb; }
    void Start() { FMdb->Connect(); }
    bool Finished() const { return FFinished; }
    long Errors() const { return FErrors; }
    std::function<void()> OnFinished;

private:
    // Queues every poll that is due, starts the next turn, and waits for
    // the earliest poll not yet due.
    void Schedule()
    {
        if (FBusy || FFinished || !FMdb->Connected()) return;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        qint64 earliest = -1;
        bool left = false;
        for (auto& p : FPolls) {
            if (FRepeat > 0 && p->Done >= FRepeat) continue;
            left = true;
            if (p->Queued) continue;
            if (p->NextDue <= now) {
                p->Queued = true;
                FQueue.push_back(p.get());
            } else if (earliest < 0 || p->NextDue < earliest) {
                earliest = p->NextDue;
            }
        }
        if (!left) {
            Finish();
            return;
        }
        if (!FQueue.empty()) {
            FActive = FQueue.front();
            FQueue.pop_front();
            FActive->Queued = false;
            FBusy = true;
            FActive->NextDue = now + FActive->IntervalMs;
            const Options& o = FActive->Opt;
            FMdb->SetDeviceID(uint8_t(o.unit));
            const auto a = uint16_t(o.address);
            const auto n = uint8_t(o.count);
            switch (o.function) {
            case 1: FMdb->ReadCoils(a, n); break;
            case 2: FMdb->ReadDiscreteInputs(a, n); break;
            case 3: FMdb->ReadHoldingRegs(a, n); break;
            default: FMdb->ReadInputRegs(a, n); break;
            }
        } else if (earliest >= 0) {
            FTimer.start(int(std::max<qint64>(0, earliest - now)));
        }
    }
    void Answer(const std::vector<uint8_t>* Regs, const std::vector<bool>* Bits, int32_t Code)
    {
        TRunPoll* p = FActive;
        if (!FBusy || !p) {
            // The link could not be opened: every poll fails.
            if (Code) {
                ReportEngineError(Code, FLinkOpt);
                FErrors += 1;
                Finish();
            }
            return;
        }
        FBusy = false;
        FActive = nullptr;
        ++p->Done;
        if (Code) {
            ++FErrors;
            p->Output->Failed(Code, ReportEngineError(Code, p->Opt));
        } else if (Regs) {
            p->Output->Registers(*Regs);
        } else if (Bits) {
            p->Output->Bits(*Bits);
        }
        std::fflush(stdout);
        // The next turn after the engine has returned from its event.
        QTimer::singleShot(0, &FTimer, [this] { Schedule(); });
    }
    void Finish()
    {
        if (FFinished) return;
        FFinished = true;
        FTimer.stop();
        FMdb->Disconnect();
        if (OnFinished) OnFinished();
    }

    std::vector<std::unique_ptr<TRunPoll>> FPolls;
    long FRepeat;
    Options FLinkOpt;
    TVexaModbus* FMdb;
    QTimer FTimer;
    std::deque<TRunPoll*> FQueue;
    TRunPoll* FActive = nullptr;
    bool FBusy = false;
    bool FFinished = false;
    long FErrors = 0;
};

int fail(const QString& why)
{
    std::fprintf(stderr, "zorp-poll: %s\n", why.toLocal8Bit().constData());
    return 2;
}

} // namespace

int RunWorkspaceCommand(const QStringList& Args)
{
    QString file;
    Options base;
    base.repeat = 1;
    for (int i = 1; i < Args.size(); ++i) {
        const QString a = Args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= Args.size()) return false;
            out = Args[++i];
            return true;
        };
        QString v;
        bool ok = true;
        if (a == QLatin1String("--workspace")) {
            ok = value(file);
        } else if (a == QLatin1String("-F") || a == QLatin1String("--format")) {
            ok = value(v);
            if (v == QLatin1String("text")) base.format = TOutputFormat::Text;
            else if (v == QLatin1String("csv")) base.format = TOutputFormat::Csv;
            else if (v == QLatin1String("json")) base.format = TOutputFormat::Json;
            else ok = false;
        } else if (a == QLatin1String("-l") || a == QLatin1String("--repeat")) {
            ok = value(v);
            base.repeat = v.toLong(&ok);
            ok = ok && base.repeat >= 0;
        } else if (a == QLatin1String("-o") || a == QLatin1String("--timeout")) {
            ok = value(v);
            base.timeout = v.toLong(&ok);
            ok = ok && base.timeout >= 10 && base.timeout <= 600000;
        } else if (a == QLatin1String("--retries")) {
            ok = value(v);
            base.retries = v.toLong(&ok);
            ok = ok && base.retries >= 0 && base.retries <= 100;
        } else if (a == QLatin1String("-q") || a == QLatin1String("--quiet")) {
            base.quiet = true;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--verbose")) {
            base.verbose = true;
        } else {
            return fail(QStringLiteral("%1 does not go with --workspace").arg(a));
        }
        if (!ok) return fail(QStringLiteral("bad value for %1").arg(a));
    }
    QFile f(file);
    if (file.isEmpty() || !f.open(QIODevice::ReadOnly)) return fail(QStringLiteral("cannot read the workspace %1").arg(file));
    if (f.size() > 16 * 1024 * 1024) return fail(QStringLiteral("%1 is too large for a workspace").arg(file));
    zorp::TWorkspace w;
    QString error;
    if (!zorp::WorkspaceFromJson(f.readAll(), w, error)) return fail(file + QStringLiteral(": ") + error);

    std::vector<std::unique_ptr<TLinkRun>> links;
    for (int li = 0; li < w.Links.size(); ++li) {
        const zorp::TWorkspaceLink& l = w.Links[li];
        Options link = base;
        link.link = l.Mode == QLatin1String("serial") ? Options::Serial
                    : l.Mode == QLatin1String("rtu-tcp") ? Options::RtuTcp
                                                          : Options::Tcp;
        link.host = l.Host.toStdString();
        link.port = uint16_t(l.Port);
        link.device = l.Device.isEmpty() ? QStringLiteral("COM%1").arg(l.Com).toStdString() : l.Device.toStdString();
        link.baud = l.Baud;
        ParityFromText(l.Parity.toStdString(), link.parity);
        link.dataBits = l.DataBits;
        link.stopBits = l.StopBits;
        std::vector<std::unique_ptr<TRunPoll>> polls;
        auto add = [&](const zorp::TWorkspacePoll& p, const QString& name) {
            auto r = std::make_unique<TRunPoll>();
            Options& o = r->Opt;
            o = link;
            o.unit = p.Unit;
            o.function = p.Func;
            o.address = p.Start;
            o.count = p.Length;
            TProfile profile;
            profile.Start = p.Start;
            profile.Length = p.Length;
            profile.SlaveID = p.Unit;
            profile.Function = p.Func;
            profile.DataTypes.assign(p.Types.begin(), p.Types.end());
            profile.Descriptions.assign(p.Descriptions.begin(), p.Descriptions.end());
            o.rows = ProfileRows(profile, p.Length, p.Func <= 2);
            o.profile = !o.rows.empty();
            r->IntervalMs = p.IntervalMs;
            r->Output = std::make_unique<TPollOutput>(r->Opt);
            r->Output->PollName = name.toStdString();
            polls.push_back(std::move(r));
        };
        if (l.Panel.RealTime) add(l.Panel, QStringLiteral("LINK%1.panel").arg(li + 1));
        for (int pi = 0; pi < l.Polls.size(); ++pi)
            add(l.Polls[pi], l.Polls[pi].Name.isEmpty() ? QStringLiteral("LINK%1.POLL%2").arg(li + 1).arg(pi + 1)
                                                        : l.Polls[pi].Name);
        if (!polls.empty()) links.push_back(std::make_unique<TLinkRun>(link, std::move(polls), base.repeat));
    }
    if (links.empty()) return fail(file + QStringLiteral(": no polls to run"));
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    for (auto& l : links) {
        l->OnFinished = [&links] {
            for (auto& k : links)
                if (!k->Finished()) return;
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        };
        QTimer::singleShot(0, qApp, [p = l.get()] { p->Start(); });
    }
    const int rc = QCoreApplication::exec();
    std::fflush(stdout);
    long errors = 0;
    for (auto& l : links) errors += l->Errors();
    return rc != 0 ? rc : errors ? 1 : 0;
}
