// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TRadioGroup: a captioned group of radio buttons, one per item, stacked in
// one column; ItemIndex is the selected item or -1 when none is selected.
#include <QGroupBox>
#include <QStringList>
#include <functional>
#include <vector>

class QRadioButton;
class QButtonGroup;

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);

    int ItemIndex() const;
    // -1 (or any index outside the items) clears the selection.
    void SetItemIndex(int index);
    int Count() const { return static_cast<int>(FButtons.size()); }
    QRadioButton* Button(int i) const { return FButtons.at(static_cast<size_t>(i)); }
    QStringList Items() const { return FItems; }

    // The user picked another item.
    std::function<void(QObject* Sender)> OnClick;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    void Arrange();
    QStringList FItems;
    std::vector<QRadioButton*> FButtons;
    QButtonGroup* FGroup = nullptr;
};
