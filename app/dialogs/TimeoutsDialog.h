// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The dialog of Options > Time-out and retries: how long the engine waits
// for an answer (its Timeout) and how many times it sends a request again
// before it reports an error (its MaxRepeat).
#include <QDialog>
#include <functional>

class QSpinBox;

class TfrmTimeouts : public QDialog {
public:
    TfrmTimeouts(int TimeoutMs, int Tries, QWidget* parent = nullptr);
    QSpinBox* seTimeout = nullptr;
    QSpinBox* seTries = nullptr;
    // Instead of running the dialog, a set hook receives it and returns
    // whether it was accepted (tests use it).
    static inline std::function<bool(TfrmTimeouts*)> RunHook;
};

// Runs the dialog on the values; true, with the new values, when accepted.
bool RunTimeoutsDialog(QWidget* parent, int& TimeoutMs, int& Tries);
