// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TGroupBox: a group box drawn the classic way, its caption set into the top
// line of an etched frame, so that the children's designed positions (which
// count from the box's top-left corner, caption included) look as designed.
#include <QGroupBox>

class TGroupBox : public QGroupBox {
    Q_OBJECT
public:
    explicit TGroupBox(const QString& caption, QWidget* parent = nullptr);

    // Paints box's frame and caption; also used by other group-box kinds.
    static void PaintFrame(QGroupBox* box);

protected:
    void paintEvent(QPaintEvent* e) override;
};
