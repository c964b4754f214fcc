// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsLock.h"

#include <QDir>
#include <QLockFile>
#include <map>
#include <memory>

#include "FormStorage.h"

namespace zorp {

bool OwnsSettings(const QString& Folder)
{
    // One lock per folder for the life of the program; whether this
    // program owns the folder is decided when it is first asked.
    struct TEntry {
        std::unique_ptr<QLockFile> Lock;
        bool Owns = true;
    };
    static std::map<QString, TEntry> locks;
    const QString key = QDir::cleanPath(Folder);
    auto it = locks.find(key);
    if (it == locks.end()) {
        QDir().mkpath(key);
        TEntry e;
        e.Lock = std::make_unique<QLockFile>(key + QStringLiteral("/setings.ini.lock"));
        e.Lock->setStaleLockTime(0);
        if (!e.Lock->tryLock(0) && e.Lock->error() == QLockFile::LockFailedError) {
            // A lock whose program is gone is taken over; one held by a
            // running program is not.
            e.Owns = e.Lock->removeStaleLockFile() && e.Lock->tryLock(0);
        }
        // A folder where no lock can be made (not writable) is nobody
        // else's either: the designed writes go on and report their failure.
        it = locks.emplace(key, std::move(e)).first;
    }
    return it->second.Owns;
}

bool OwnsSettings() { return OwnsSettings(ConfigFolder()); }

QString SettingsNotStoredText()
{
    return QStringLiteral("Another ZORP stores its settings in this folder: the settings of this one are kept "
                          "until it closes, not stored");
}

} // namespace zorp
