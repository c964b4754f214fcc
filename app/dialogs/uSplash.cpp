// SPDX-License-Identifier: GPL-3.0-or-later
#include "uSplash.h"

#include "DesignFonts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QScreen>
#include <QTimer>
#include <cmath>

namespace {
int& durationSetting()
{
    static int ms = [] {
        bool ok = false;
        const int v = qEnvironmentVariableIntValue("ZORP_SPLASH_MS", &ok);
        return ok && v >= 0 ? v : TfrmSplash::DefaultDuration;
    }();
    return ms;
}

TfrmSplash*& instance()
{
    static TfrmSplash* p = nullptr;
    return p;
}

void deleteInstance()
{
    delete instance();
    instance() = nullptr;
}
} // namespace

int TfrmSplash::Duration()
{
    return durationSetting();
}

void TfrmSplash::SetDuration(int ms)
{
    durationSetting() = ms < 0 ? 0 : ms;
}

TfrmSplash* TfrmSplash::Instance()
{
    return instance();
}

TfrmSplash* TfrmSplash::CreateInstance()
{
    if (!instance()) {
        instance() = new TfrmSplash();
        // Owned by the application: deleted when the application object goes.
        static bool registered = false;
        if (!registered) {
            qAddPostRoutine(deleteInstance);
            registered = true;
        }
    }
    return instance();
}

void TfrmSplash::ResetInstance()
{
    deleteInstance();
}

TfrmSplash::TfrmSplash(QWidget* parent)
    : QDialog(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Dialog)
{
    EnsureDesignFonts();
    setObjectName(QStringLiteral("frmSplash"));
    setModal(true);
    setFixedSize(560, 313);
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect g = s->geometry();
        move(g.x() + (g.width() - width()) / 2, g.y() + (g.height() - height()) / 2);
    }

    imgSplash = new TSplashImage(this);
    imgSplash->setObjectName(QStringLiteral("imgSplash"));
    imgSplash->setGeometry(0, 0, 560, 313);

    auto makeLabel = [this](const QString& name, const QString& text, int px, QRect geom, bool wrap) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        QFont f(QStringLiteral("Tahoma"));
        f.setPixelSize(px);
        f.setBold(true);
        l->setFont(f);
        l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        l->setWordWrap(wrap);
        l->setAttribute(Qt::WA_TranslucentBackground);
        l->setStyleSheet(QStringLiteral("background: transparent; color: white;"));
        l->setGeometry(geom);
        return l;
    };
    lblTitle = makeLabel(QStringLiteral("lblTitle"), QStringLiteral("ZORP"), 43, QRect(216, 74, 129, 52), false);
    lblSubtitle = makeLabel(QStringLiteral("lblSubtitle"), QStringLiteral("Zelvara"), 33, QRect(128, 136, 300, 80), true);

    SplashTimer = new QTimer(this);
    SplashTimer->setObjectName(QStringLiteral("SplashTimer"));
    SplashTimer->setSingleShot(true);
    SplashTimer->setInterval(Duration());
    connect(SplashTimer, &QTimer::timeout, this, [this] { SplashTimerTimer(SplashTimer); });
    SplashTimer->start();
}

void TfrmSplash::SplashTimerTimer(QObject*)
{
    SplashTimer->stop();
    accept();
}

TSplashImage::TSplashImage(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TSplashImage::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();

    // Deep blue-green background with a soft light behind the title.
    QLinearGradient bg(r.topLeft(), r.bottomRight());
    bg.setColorAt(0.0, QColor(12, 38, 64));
    bg.setColorAt(0.55, QColor(16, 78, 96));
    bg.setColorAt(1.0, QColor(10, 30, 44));
    p.fillRect(r, bg);
    QRadialGradient glow(QPointF(r.width() / 2, 120), 260);
    glow.setColorAt(0.0, QColor(120, 200, 210, 90));
    glow.setColorAt(1.0, QColor(120, 200, 210, 0));
    p.fillRect(r, glow);

    // A two-wire bus along the bottom with drop lines to three stations.
    const qreal busY1 = 262, busY2 = 270;
    p.setPen(QPen(QColor(150, 210, 220, 160), 2));
    p.drawLine(QPointF(24, busY1), QPointF(r.width() - 24, busY1));
    p.drawLine(QPointF(24, busY2), QPointF(r.width() - 24, busY2));
    for (int i = 0; i < 3; ++i) {
        const qreal x = 110 + i * 170;
        p.drawLine(QPointF(x, busY1), QPointF(x, 236));
        p.setBrush(QColor(30, 110, 130));
        p.drawRoundedRect(QRectF(x - 22, 212, 44, 24), 4, 4);
        p.setBrush(Qt::NoBrush);
    }

    // A stylised serial waveform: square pulses fading in from the left.
    QPainterPath wave;
    const qreal hi = 36, lo = 56;
    qreal x = 24;
    bool high = true;
    wave.moveTo(x, hi);
    const int pattern[] = {1, 2, 1, 1, 3, 1, 2, 2, 1, 1, 2, 1, 3, 1, 1, 2, 1, 2, 1, 1, 2, 3, 1, 1};
    for (int w : pattern) {
        x += w * 11.0;
        if (x > r.width() - 24)
            x = r.width() - 24;
        wave.lineTo(x, high ? hi : lo);
        high = !high;
        wave.lineTo(x, high ? hi : lo);
        if (x >= r.width() - 24)
            break;
    }
    QLinearGradient fade(QPointF(0, 0), QPointF(r.width(), 0));
    fade.setColorAt(0.0, QColor(255, 255, 255, 20));
    fade.setColorAt(0.5, QColor(255, 255, 255, 150));
    fade.setColorAt(1.0, QColor(255, 255, 255, 20));
    p.setPen(QPen(QBrush(fade), 2));
    p.drawPath(wave);

    // A thin sine trace under the subtitle.
    QPainterPath sine;
    for (int i = 0; i <= 480; ++i) {
        const qreal sx = 40 + i;
        const qreal sy = 196 + 6 * std::sin(i / 18.0);
        if (i == 0)
            sine.moveTo(sx, sy);
        else
            sine.lineTo(sx, sy);
    }
    p.setPen(QPen(QColor(170, 230, 200, 110), 1.5));
    p.drawPath(sine);
}
