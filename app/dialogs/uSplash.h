// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmSplash: the title window shown modally while the main window is
// created. It closes itself when SplashTimer fires.
#include <QDialog>

class QLabel;
class QTimer;

class TfrmSplash : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSplash(QWidget* parent = nullptr);

    // How long the title window stays, in milliseconds: 1500 unless changed
    // by SetDuration or by the environment variable ZORP_SPLASH_MS (read once
    // at the first call; tests use it to keep start-up short).
    static int Duration();
    static void SetDuration(int ms);
    static constexpr int DefaultDuration = 1500;

    // The one title window of the program, created by the first main window
    // and kept (owned by the application) until the program ends.
    static TfrmSplash* Instance();
    static TfrmSplash* CreateInstance();
    // Deletes the instance, so that the next main window shows it again.
    static void ResetInstance();

    QWidget* imgSplash = nullptr;
    QLabel* lblTitle = nullptr;    // "ZORP"
    QLabel* lblSubtitle = nullptr; // "Zelvara"
    QTimer* SplashTimer = nullptr;

    void SplashTimerTimer(QObject* Sender);
};

// The picture behind the title window's labels, drawn at run time.
class TSplashImage : public QWidget {
    Q_OBJECT
public:
    explicit TSplashImage(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* e) override;
};
