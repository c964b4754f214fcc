// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A workspace file: every link of the tester with its connection settings,
// its own Data panel's read and the polls of its poll windows (what each
// reads, how often, the rows' data types and descriptions) and where each
// window stood. The tester writes and opens it; zorp-poll --workspace runs
// its polls. The format is JSON, described in the README:
//
//   {"format": "zorp-workspace", "version": 1,
//    "links": [{"mode": "tcp"|"rtu-tcp"|"serial", "host": "...", "port": 502,
//               "com": 1, "device": "", "baud": 9600, "parity": "N",
//               "dataBits": 8, "stopBits": 1, "window": {...},
//               "addresses": "plus1", "panel": POLL, "polls": [POLL, ...]}]}
//   POLL: {"name": "...", "unit": 1, "function": 3, "start": 1, "length": 10,
//          "interval": 1000, "realTime": false,
//          "rows": [{"row": 1, "type": "...", "description": "...",
//                    "scaling": {"gain": 0.1, "offset": 0, "unit": "V",
//                                "enum": "0=Stopped;1=Running",
//                                "bits": "0=Alarm;3=Door open"}}],
//          "window": {"x": 0, "y": 0, "width": 700, "height": 420}}
//
// Keys that are missing take the defaults below; a key of the wrong kind or
// a number out of range makes the whole file refused with a reason.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "AddressNotation.h"
#include "Scaling.h"

namespace zorp {

struct TWorkspaceRect {
    int X = 0, Y = 0, Width = 0, Height = 0;
    bool Valid() const { return Width > 0 && Height > 0; }
    bool operator==(const TWorkspaceRect&) const = default;
};

struct TWorkspacePoll {
    QString Name;
    int Unit = 1;
    int Func = 3;
    int Start = 1;
    int Length = 10;
    int IntervalMs = 1000;
    bool RealTime = false;
    // Row 1 first; empty texts for rows without.
    QStringList Types;
    QStringList Descriptions;
    // Engineering values by row (a poll window's; the keys of "scaling"
    // that are missing leave the designed plain value).
    std::map<int, TScaling> Scaling;
    TWorkspaceRect Window;
    bool operator==(const TWorkspacePoll&) const = default;
};

struct TWorkspaceLink {
    QString Mode = QStringLiteral("tcp"); // "tcp", "rtu-tcp" or "serial"
    QString Host = QStringLiteral("127.0.0.1");
    int Port = 502;
    int Com = 1;         // the tester's COM number
    QString Device;      // a device path (zorp-poll; the tester maps COM numbers)
    int Baud = 9600;
    QString Parity = QStringLiteral("N");
    int DataBits = 8;
    int StopBits = 1;
    TWorkspaceRect Window;
    // How the window and its poll windows write addresses (the key text of
    // AddressNotation.h); a file without it leaves the window's notation.
    std::optional<TAddressNotation> Addresses;
    TWorkspacePoll Panel;
    QList<TWorkspacePoll> Polls;
    bool operator==(const TWorkspaceLink&) const = default;
};

struct TWorkspace {
    QList<TWorkspaceLink> Links;
    // The simulator windows' set-ups as each window writes and reads its own
    // (an object per window; the file keeps them as they are).
    QList<QJsonObject> Simulators;
    bool operator==(const TWorkspace&) const = default;
};

// Bounds of what a file may ask for.
constexpr int kMaxWorkspaceLinks = 16;
constexpr int kMaxWorkspacePolls = 64;
constexpr int kMaxWorkspaceSimulators = 16;
constexpr int kMaxWorkspaceRows = 255;

QByteArray WorkspaceToJson(const TWorkspace& W);
// False with Error set for a file that is not a workspace or asks for
// something out of range.
bool WorkspaceFromJson(const QByteArray& Json, TWorkspace& W, QString& Error);

} // namespace zorp
