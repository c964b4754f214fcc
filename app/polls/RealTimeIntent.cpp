// SPDX-License-Identifier: GPL-3.0-or-later
// The intention lives in a small object under the check box: it goes with
// the box, and the box's first change ends it.
#include "RealTimeIntent.h"

#include <QCheckBox>
#include <QPointer>

namespace zorp {
namespace {

class TRealTimeIntent : public QObject {
public:
    TRealTimeIntent(QCheckBox* Box, const QString& Hint) : QObject(Box), FBox(Box), FHint(Hint)
    {
        if (!FHint.isEmpty()) {
            FOldTip = Box->toolTip();
            Box->setToolTip(FHint);
        }
        connect(Box, &QCheckBox::toggled, this, [this] { End(); });
    }
    bool Active() const { return FActive; }
    // Ends once; the object goes when the box's signal is over.
    void End()
    {
        if (!FActive) return;
        FActive = false;
        // A tooltip set meanwhile by someone else stays.
        if (!FHint.isEmpty() && FBox && FBox->toolTip() == FHint) FBox->setToolTip(FOldTip);
        deleteLater();
    }

private:
    QPointer<QCheckBox> FBox;
    QString FHint;
    QString FOldTip;
    bool FActive = true;
};

TRealTimeIntent* intentOf(const QCheckBox* Box)
{
    if (!Box) return nullptr;
    for (QObject* o : Box->children())
        if (auto* i = dynamic_cast<TRealTimeIntent*>(o); i && i->Active()) return i;
    return nullptr;
}

} // namespace

void KeepRealTimeIntent(QCheckBox* Box, const QString& Hint)
{
    if (!Box || intentOf(Box)) return;
    new TRealTimeIntent(Box, Hint);
}

bool HasRealTimeIntent(const QCheckBox* Box)
{
    return intentOf(Box) != nullptr;
}

void DropRealTimeIntent(QCheckBox* Box)
{
    if (TRealTimeIntent* i = intentOf(Box)) i->End();
}

bool RealTimeAsStored(const QCheckBox* Box)
{
    return Box && (Box->isChecked() || HasRealTimeIntent(Box));
}

bool StartRealTimeIntent(QCheckBox* Box)
{
    TRealTimeIntent* i = intentOf(Box);
    if (!i) return false;
    i->End();
    if (Box->isChecked()) return false;
    Box->setChecked(true);
    return Box->isChecked();
}

} // namespace zorp
