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
    // One lock per folder for the life of the program.
    static std::map<QString, std::unique_ptr<QLockFile>> locks;
    const QString key = QDir::cleanPath(Folder);
    auto it = locks.find(key);
    if (it == locks.end()) {
        QDir().mkpath(key);
        auto lock = std::make_unique<QLockFile>(key + QStringLiteral("/setings.ini.lock"));
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0)) {
            // A lock whose program is gone is taken over.
            if (lock->error() == QLockFile::LockFailedError && lock->removeStaleLockFile()) lock->tryLock(0);
        }
        it = locks.emplace(key, std::move(lock)).first;
    }
    return it->second->isLocked();
}

bool OwnsSettings() { return OwnsSettings(ConfigFolder()); }

QString SettingsNotStoredText()
{
    return QStringLiteral("Another ZORP stores its settings in this folder: the settings of this one are kept "
                          "until it closes, not stored");
}

} // namespace zorp
