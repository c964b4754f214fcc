// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Image files: a simulated slave's units, their values, the types and
// descriptions of their ranges, its generators and faults, as JSON:
//
//   {
//     "format": "zorp-image", "version": 1,
//     "shared": false,                 // true: every unit serves one image
//     "units": [
//       { "unit": 1,
//         "holding":  [ { "address": 0, "words": [1, 2, 3] },
//                       { "address": 10, "type": "f32:cdab", "values": [12.5],
//                         "description": "Temperature" } ],
//         "inputs":   [ { "address": 0, "words": [1000] } ],
//         "coils":    [ { "address": 0, "bits": [1, 0, 1] } ],
//         "discrete": [ { "address": 0, "bits": [0, 1] } ] } ],
//     "generators": [ "10=sine,period=10,min=0,max=100,type=f32:cdab" ],
//     "faults":     [ "exception:6,function=3,every=5" ]
//   }
//
// Addresses are wire addresses (0..65535). A register range gives raw
// "words" (0..65535) or typed "values" (each spanning its type's registers;
// any of the 35 type names or their aliases); a bit range gives "bits" (0 or
// 1). Generators and faults are written as on zorp-slave's command line.
// A file is saved with raw words, so that it loads back exactly: the ranges
// it was loaded with, and every other run of entries that is not zero.
#include <QByteArray>
#include <QString>

#include "SimServer.h"

namespace zorp::sim {

// Reads an image file into `server` (units, images, generators, faults).
// False with a message naming the place when the file is not a valid image.
bool LoadImage(const QByteArray& json, SimServer& server, QString& error);
bool LoadImageFile(const QString& path, SimServer& server, QString& error);
QByteArray SaveImage(const SimServer& server);
// Atomically (the old file stays until the new one is complete).
bool SaveImageFile(const QString& path, const SimServer& server, QString& error);

} // namespace zorp::sim
