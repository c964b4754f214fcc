// SPDX-License-Identifier: GPL-3.0-or-later
#include "RadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>

#include "GroupBox.h"

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent), FItems(items)
{
    FGroup = new QButtonGroup(this);
    FGroup->setExclusive(true);
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setObjectName(QStringLiteral("%1_%2").arg(objectName().isEmpty() ? QStringLiteral("item") : objectName()).arg(i));
        FGroup->addButton(b, i);
        FButtons.push_back(b);
    }
    connect(FGroup, &QButtonGroup::idClicked, this, [this](int) {
        if (OnClick)
            OnClick(this);
    });
    Arrange();
}

int TRadioGroup::ItemIndex() const
{
    return FGroup->checkedId();
}

void TRadioGroup::SetItemIndex(int index)
{
    if (index < 0 || index >= Count()) {
        // An exclusive group cannot uncheck its last button directly.
        FGroup->setExclusive(false);
        for (auto* b : FButtons)
            b->setChecked(false);
        FGroup->setExclusive(true);
        return;
    }
    FButtons[static_cast<size_t>(index)]->setChecked(true);
}

void TRadioGroup::resizeEvent(QResizeEvent* e)
{
    QGroupBox::resizeEvent(e);
    Arrange();
}

void TRadioGroup::Arrange()
{
    // Items share the space below the caption evenly, one per row.
    const int top = 15;
    const int left = 8;
    const int n = Count();
    if (n == 0)
        return;
    const int avail = qMax(0, height() - top - 4);
    const int rowH = avail / n;
    for (int i = 0; i < n; ++i) {
        const int h = qMin(17, qMax(rowH, 1));
        const int y = top + i * rowH + (rowH - h) / 2;
        FButtons[static_cast<size_t>(i)]->setGeometry(left, y, qMax(0, width() - left - 4), h);
    }
}

void TRadioGroup::paintEvent(QPaintEvent*)
{
    TGroupBox::PaintFrame(this);
}
