// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TStatusBar: a row of text panels of fixed widths along the window's bottom
// edge; the last panel takes what is left.
#include <QString>
#include <QStringView>
#include <QWidget>
#include <cstdint>
#include <vector>

class TStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TStatusBar(QWidget* parent = nullptr);

    // Adds a panel of the given width and alignment (Qt::AlignLeft or
    // Qt::AlignRight); returns its index.
    int AddPanel(int width, Qt::Alignment alignment);
    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    int PanelWidth(int i) const;
    Qt::Alignment PanelAlignment(int i) const;
    QString PanelText(int i) const;
    // Out-of-range indices are ignored.
    void SetPanelText(int i, const QString& text);
    // The same from a view: the panel's own storage takes the characters
    // when it can, so that a counter ticking in a panel allocates nothing.
    void SetPanelText(int i, QStringView text);
    // Panel i shows label followed by value in decimal. The text is put
    // together when the panel is painted or read: a counter that moves
    // thousands of times between two paints costs a comparison per move.
    void SetPanelNumber(int i, QLatin1StringView label, int32_t value);
    // The tooltip shown over panel i (empty: none).
    QString PanelHint(int i) const;
    void SetPanelHint(int i, const QString& hint);
    // The panel under pos (bar coordinates), or -1.
    int PanelAt(const QPoint& pos) const;
    // The rectangle of panel i in the bar's coordinates.
    QRect PanelRect(int i) const;

    QSize sizeHint() const override;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    // Asks for panel i to be painted again, unless that is asked already.
    void RepaintPanel(int i);
    // Panels asked to be painted again and not painted since (bit i: panel i).
    uint64_t FPendingPanels = 0;
    struct Panel {
        int Width;
        Qt::Alignment Alignment;
        QString Text;   // the text, or the label of a number
        QString Hint;
        bool HasNumber = false;
        int32_t Number = 0;
    };
    QString TextOf(const Panel& p) const;
    std::vector<Panel> FPanels;
};
