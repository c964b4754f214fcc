// SPDX-License-Identifier: GPL-3.0-or-later
// The bus monitor window's frames, filter and values.
#include "BusMonitorModel.h"

#include <QColor>

#include "EventFormat.h"
#include "FrameText.h"

using zorp::monitor::BusEvent;

namespace {
QString Ms(int64_t ns, bool bunched)
{
    return QString::fromStdString(zorp::monitor::Silence(ns, bunched));
}
QString KindText(const BusEvent& e)
{
    switch (e.kind) {
    case BusEvent::Kind::Request: return QStringLiteral("request");
    case BusEvent::Kind::Answer:
        return e.requestSeq ? QStringLiteral("answer to #%1").arg(e.requestSeq) : QStringLiteral("answer (unpaired)");
    case BusEvent::Kind::Fault: return QString::fromLatin1(zorp::monitor::FaultName(e.fault)).toUpper();
    case BusEvent::Kind::NoAnswer: return QStringLiteral("NO ANSWER");
    }
    return {};
}
} // namespace

int TBusFrameModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(FEvents.size());
}

int TBusFrameModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : colCount; }

QVariant TBusFrameModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kNames[colCount] = {"#", "Time", "Kind", "Unit", "Function", "Content", "Gap ms",
                                                 "Turnaround ms"};
    return section >= 0 && section < colCount ? QString::fromLatin1(kNames[section]) : QVariant();
}

QVariant TBusFrameModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= FEvents.size()) return {};
    const BusEvent& e = FEvents[size_t(index.row())];
    const bool frame = e.kind != BusEvent::Kind::Fault;
    if (role == Qt::ForegroundRole) {
        if (e.kind == BusEvent::Kind::Fault || e.kind == BusEvent::Kind::NoAnswer || e.IsException())
            return QColor(0xB0, 0, 0);
        if (e.kind == BusEvent::Kind::Answer) return QColor(0, 0x60, 0);
        return {};
    }
    if (role == Qt::ToolTipRole && index.column() == colContent)
        return QString::fromStdString(zorp::monitor::HexBytes(e.frame, 300));
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case colSeq: return QString::number(e.seq);
    case colTime: return QString::fromStdString(zorp::monitor::TimeStamp(e.wallNs)).mid(11); // the time of day
    case colKind: return KindText(e);
    case colUnit: return frame ? QString::number(e.unit) : QString();
    case colFunction:
        return frame ? QStringLiteral("%1 %2")
                           .arg(QStringLiteral("%1").arg(e.function, 2, 16, QLatin1Char('0')).toUpper(),
                                QString::fromStdString(zorp::monitor::FunctionName(e.function)))
                     : QString();
    case colContent: return QString::fromStdString(zorp::monitor::DescribeEvent(e));
    case colGap: return e.kind == BusEvent::Kind::NoAnswer ? QString() : Ms(e.gapNs, e.bunched);
    case colTurnaround: return Ms(e.turnaroundNs, e.bunched);
    default: return {};
    }
}

void TBusFrameModel::Append(std::vector<BusEvent>& events)
{
    if (events.empty()) return;
    if (FEvents.size() + events.size() > kCapacity) {
        const size_t drop = std::min(FEvents.size(), std::max(kCapacity / 10, FEvents.size() + events.size() - kCapacity));
        beginRemoveRows({}, 0, int(drop) - 1);
        FEvents.erase(FEvents.begin(), FEvents.begin() + std::ptrdiff_t(drop));
        endRemoveRows();
    }
    const size_t take = std::min(events.size(), kCapacity);
    const size_t from = events.size() - take;
    beginInsertRows({}, int(FEvents.size()), int(FEvents.size() + take) - 1);
    for (size_t i = from; i < events.size(); ++i) FEvents.push_back(std::move(events[i]));
    endInsertRows();
    events.clear();
}

void TBusFrameModel::Clear()
{
    beginResetModel();
    FEvents.clear();
    endResetModel();
}

void TBusFrameFilter::SetFilter(int unit, int function)
{
    if (unit == FUnit && function == FFunction) return;
    FUnit = unit;
    FFunction = function;
    invalidateFilter();
}

bool TBusFrameFilter::filterAcceptsRow(int row, const QModelIndex&) const
{
    if (FUnit < 0 && FFunction < 0) return true;
    const auto* m = static_cast<const TBusFrameModel*>(sourceModel());
    if (size_t(row) >= m->Events().size()) return false;
    const BusEvent& e = m->Events()[size_t(row)];
    if (FUnit >= 0 && e.unit != FUnit) return false;
    if (FFunction >= 0 && (e.kind == BusEvent::Kind::Fault || (e.function & 0x7F) != FFunction)) return false;
    return true;
}

void TBusValues::Add(const BusEvent& e)
{
    if (e.kind != BusEvent::Kind::Answer || !e.requestSeq || e.IsException() || e.requestPdu.size() < 5) return;
    const uint8_t fc = e.function;
    const auto& q = e.requestPdu;
    const auto& p = e.pdu;
    const unsigned a = unsigned(q[1] << 8 | q[2]);
    const unsigned n = unsigned(q[3] << 8 | q[4]);
    if (fc == 3 || fc == 4) {
        for (unsigned k = 0; k < n && 3 + 2 * k < p.size() && a + k <= 0xFFFF; ++k)
            FValues[{e.unit, fc, uint16_t(a + k)}] = {uint16_t(p[2 + 2 * k] << 8 | p[3 + 2 * k]), e.wallNs};
    } else if (fc == 1 || fc == 2) {
        for (unsigned k = 0; k < n && 2 + k / 8 < p.size() && a + k <= 0xFFFF; ++k)
            FValues[{e.unit, fc, uint16_t(a + k)}] = {uint16_t((p[2 + k / 8] >> (k % 8)) & 1), e.wallNs};
    }
}
