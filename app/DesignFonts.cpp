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
    // Only the regular face: the bold file of this Tahoma carries regular
    // outlines, so a bold request drawn with it would look regular. Without
    // it, bold text is drawn with the regular face emboldened, which is
    // bold on screen and keeps the regular face's metrics.
    static const char* const candidates[] = {
        "/usr/share/wine/fonts/tahoma.ttf",
        "/usr/share/fonts/truetype/wine/tahoma.ttf",
    };
    for (const char* path : candidates) {
        const QString p = QString::fromLatin1(path);
        if (QFile::exists(p))
            QFontDatabase::addApplicationFont(p);
    }
}
