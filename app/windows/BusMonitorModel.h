// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the bus monitor window shows: the frames heard (a bounded list, the
// oldest go first), a filter by unit and function, the figures per unit and
// function, and the values the real master reads (registers and bits by
// unit, function and address, as its last answer gave them).
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <deque>
#include <map>
#include <tuple>

#include "BusEvent.h"
#include "BusStats.h"

class TBusFrameModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { colSeq, colTime, colKind, colUnit, colFunction, colContent, colGap, colTurnaround, colCount };
    // Frames kept; beyond it the oldest tenth goes.
    static constexpr size_t kCapacity = 50000;

    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    // Events gathered since the last call go in at once.
    void Append(std::vector<zorp::monitor::BusEvent>& events);
    void Clear();
    const std::deque<zorp::monitor::BusEvent>& Events() const { return FEvents; }

private:
    std::deque<zorp::monitor::BusEvent> FEvents;
};

// Rows of one unit and one function (-1: any); faults pass a unit filter
// only when their first byte is the unit.
class TBusFrameFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void SetFilter(int unit, int function);

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    int FUnit = -1;
    int FFunction = -1;
};

// The values the master read: the last answer of each register and bit.
class TBusValues {
public:
    struct Key {
        uint8_t unit;
        uint8_t function; // 1, 2, 3 or 4
        uint16_t address;
        bool operator<(const Key& o) const
        {
            return std::tie(unit, function, address) < std::tie(o.unit, o.function, o.address);
        }
    };
    struct Value {
        uint16_t word = 0; // a register's value, or a bit's 0 / 1
        int64_t wallNs = 0;
    };
    // Takes the values of a paired answer to a read.
    void Add(const zorp::monitor::BusEvent& e);
    const std::map<Key, Value>& All() const { return FValues; }
    void Clear() { FValues.clear(); }

private:
    std::map<Key, Value> FValues;
};
