// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesignFonts.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

void EnsureDesignFonts()
{
    static bool done = false;
    if (done || !QGuiApplication::instance())
        return;
    done = true;
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive))
        return;
    static const char* const candidates[] = {
        "/usr/share/wine/fonts/tahoma.ttf",
        "/usr/share/wine/fonts/tahomabd.ttf",
        "/usr/share/fonts/truetype/wine/tahoma.ttf",
        "/usr/share/fonts/truetype/wine/tahomabd.ttf",
    };
    for (const char* path : candidates) {
        const QString p = QString::fromLatin1(path);
        if (QFile::exists(p))
            QFontDatabase::addApplicationFont(p);
    }
}
