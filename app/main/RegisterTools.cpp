// SPDX-License-Identifier: GPL-3.0-or-later
#include "RegisterTools.h"

#include "PollWindows.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>

#include "AddressScanWindow.h"
#include "AppErrors.h"
#include "Csv.h"
#include "FormStorage.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "ScalingDialog.h"
#include "StringGrid.h"
#include "uMaster.h"

using namespace zorp;

namespace {
constexpr int colDataType = 1, colValue = 2, colDescription = 9;
const QString kScaling = QStringLiteral("Scaling");
// The designed Start Address field holds five characters; other notations
// need up to seven ("0x10000").
constexpr int kDesignedFieldLength = 5, kWideFieldLength = 7;

bool IsContinuation(const QString& text) { return text == QStringView(ContinuationMark); }
} // namespace

// ---- the window's side --------------------------------------------------------

int TfrmModbusMaster::StartAddressField(const QString& Text) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) return StrToInt(Text);
    const TAddressText a = ParseAddress(Text, const_cast<TfrmModbusMaster*>(this)->ChosenFunc() + 1, RegisterTools->Notation());
    if (!a.Ok) throw EAppError(QStringLiteral("Start Address: ") + a.Error);
    return int(a.Address);
}

bool TfrmModbusMaster::TryStartAddressField(const QString& Text, int& Value) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) return TryStrToInt(Text, Value);
    const TAddressText a = ParseAddress(Text, const_cast<TfrmModbusMaster*>(this)->ChosenFunc() + 1, RegisterTools->Notation());
    if (a.Ok) Value = int(a.Address);
    return a.Ok;
}

bool TfrmModbusMaster::ColumnStartAddress(int64_t& Start) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) {
        Start = StrToInt(leStartAddress->text());
        return true;
    }
    int v = 0;
    if (!TryStartAddressField(leStartAddress->text(), v)) return false;
    Start = v;
    return true;
}

bool TfrmModbusMaster::StartAddressKeyAllowed(char16_t Key) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) return false;
    return (Key >= u'a' && Key <= u'f') || (Key >= u'A' && Key <= u'F') || Key == u'x' || Key == u'X' ||
           Key == u'h' || Key == u'H';
}

QString TfrmModbusMaster::AddressText(int64_t Address, int Function) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) return ValueDecoding::SignedText(Address);
    // Other notations name the register on the wire: numbers wrap there.
    return FormatAddress(((Address - 1) & 0xFFFF) + 1, Function, RegisterTools->Notation());
}

ValueEncoding::TEncoded TfrmModbusMaster::EncodeRowValue(int Row, const TDataTypeInfo& Type, const QString& Text) const
{
    const TScaling* s = RegisterTools ? RegisterTools->ScalingOf(Row) : nullptr;
    return s && CanScale(Type) ? EncodeEngineering(Type, Text, *s) : ValueEncoding::EncodeValue(Type, Text);
}

QString TfrmModbusMaster::ProfileStart(const QString& Text, bool ToProfile) const
{
    if (!RegisterTools || RegisterTools->Notation().IsDesigned()) return Text;
    const int function = const_cast<TfrmModbusMaster*>(this)->ChosenFunc() + 1;
    if (ToProfile) {
        const TAddressText a = ParseAddress(Text, function, RegisterTools->Notation());
        return a.Ok ? QString::number(a.Address) : Text;
    }
    int v = 0;
    return TryStrToInt(Text, v) && v >= 1 && v <= 65536 ? AddressText(v, function) : Text;
}

// ---- the tools ---------------------------------------------------------------

TRegisterTools::TRegisterTools(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("RegisterTools"));
    BuildMenus();
    FLastFunction = Owner->ChosenFunc() + 1;
    // After the window has taken the new text (ChosenFunc reads it).
    connect(Owner->cbFunc, &QComboBox::currentTextChanged, this, [this] { RunGuarded([this] { FunctionChanged(); }); });
    Owner->leStartAddress->setMaxLength(Notation().IsDesigned() ? kDesignedFieldLength : kWideFieldLength);

    auto shown = std::move(Owner->OnValuesShown);
    Owner->OnValuesShown = [shown, self = QPointer<TRegisterTools>(this)] {
        if (shown) shown();
        if (self) RunGuarded([&self] { self->ShowEngineering(); });
    };
    auto save = std::move(Owner->OnProfileSave);
    Owner->OnProfileSave = [save, this](TIniFile& ini) {
        if (save) save(ini);
        SaveProfile(ini);
    };
    auto load = std::move(Owner->OnProfileLoad);
    Owner->OnProfileLoad = [load, this](const TIniFile& ini) {
        if (load) load(ini);
        LoadProfile(ini);
    };
    Owner->OnGridMenu = [this](QMenu* menu, int row) {
        menu->addSeparator();
        QAction* edit = menu->addAction(QStringLiteral("Engineering value..."));
        edit->setObjectName(QStringLiteral("actScaling"));
        const TDataTypeInfo* type =
            row > 0 ? ValueDecoding::FindDataType(FOwner->sgData->CellRef(colDataType, row)) : nullptr;
        edit->setEnabled(type && CanScale(*type));
        connect(edit, &QAction::triggered, this, [this, row] { RunGuarded([&] { EditScaling(row); }); });
    };
}

void TRegisterTools::BuildMenus()
{
    if (QMenu* options = FOwner->ExtensionMenu(QStringLiteral("Options"))) {
        QMenu* sub = new QMenu(QStringLiteral("Addresses"), options);
        sub->setObjectName(QStringLiteral("mnuAddresses"));
        options->insertMenu(options->actions().value(0), sub);
        auto* group = new QActionGroup(this);
        const TAddressBase bases[] = {TAddressBase::PlusOne, TAddressBase::Wire, TAddressBase::Modicon};
        for (int i = 0; i < 3; ++i) {
            QString title = NotationTitle(bases[i]);
            if (i == 0) title += QStringLiteral(" (as designed)");
            actNotation[i] = sub->addAction(title);
            actNotation[i]->setObjectName(QStringLiteral("actAddresses%1").arg(i));
            actNotation[i]->setCheckable(true);
            group->addAction(actNotation[i]);
            connect(actNotation[i], &QAction::triggered, this, [this] { RunGuarded([this] { NotationChosen(); }); });
        }
        sub->addSeparator();
        actHex = sub->addAction(QStringLiteral("Hexadecimal"));
        actHex->setObjectName(QStringLiteral("actAddressesHex"));
        actHex->setCheckable(true);
        connect(actHex, &QAction::triggered, this, [this] { RunGuarded([this] { NotationChosen(); }); });
        const TAddressNotation n = Notation();
        actNotation[int(n.Base)]->setChecked(true);
        actHex->setChecked(n.Hex);
    }
    actImportMap = new QAction(QStringLiteral("Import register map..."), this);
    actImportMap->setObjectName(QStringLiteral("actImportMap"));
    connect(actImportMap, &QAction::triggered, this, [this] { RunGuarded([this] { AskImport(); }); });
    actExportMap = new QAction(QStringLiteral("Export register map..."), this);
    actExportMap->setObjectName(QStringLiteral("actExportMap"));
    connect(actExportMap, &QAction::triggered, this, [this] { RunGuarded([this] { AskExport(); }); });
    if (QMenu* file = FOwner->ExtensionMenu(QStringLiteral("File"))) {
        QAction* before = nullptr;
        const QList<QAction*> items = file->actions();
        for (qsizetype i = items.size() - 1; i >= 0 && !before; --i)
            if (items[i]->isSeparator()) before = items[i];
        file->insertAction(before, actImportMap);
        file->insertAction(before, actExportMap);
    }
    actAddressScan = new QAction(QStringLiteral("Address scan..."), this);
    actAddressScan->setObjectName(QStringLiteral("actAddressScan"));
    connect(actAddressScan, &QAction::triggered, this, [this] {
        RunGuarded([this] {
            TfrmAddressScan* w = AddressScan();
            w->show();
            w->raise();
            w->activateWindow();
        });
    });
    if (QMenu* view = FOwner->ExtensionMenu(QStringLiteral("View"))) view->addAction(actAddressScan);
}

TfrmAddressScan* TRegisterTools::AddressScan()
{
    if (!FScan) FScan = new TfrmAddressScan(FOwner);
    return FScan;
}

TAddressNotation TRegisterTools::Notation() const { return FOwner->FOptions.Addresses; }

void TRegisterTools::NotationChosen()
{
    TAddressNotation n;
    for (int i = 0; i < 3; ++i)
        if (actNotation[i]->isChecked()) n.Base = TAddressBase(i);
    n.Hex = actHex->isChecked();
    SetNotation(n);
}

void TRegisterTools::SetNotation(TAddressNotation Notation)
{
    // The field's address, read in the old notation before the new one applies.
    int address = 0;
    const bool known = FOwner->TryStartAddressField(FOwner->leStartAddress->text(), address);
    TTesterOptions o = FOwner->FOptions;
    o.Addresses = Notation;
    if (actNotation[0]) {
        actNotation[int(Notation.Base)]->setChecked(true);
        actHex->setChecked(Notation.Hex);
    }
    FOwner->leStartAddress->setMaxLength(Notation.IsDesigned() ? kDesignedFieldLength : kWideFieldLength);
    FOwner->FOptions.Addresses = Notation;
    if (known && address >= 1 && address <= 65536)
        FOwner->leStartAddress->setText(FOwner->AddressText(address, FOwner->ChosenFunc() + 1));
    FOwner->FillAddresses();
    FOwner->SetOptions(o);
    if (FOwner->PollWindows) FOwner->PollWindows->NotationChanged();
}

void TRegisterTools::FunctionChanged()
{
    // A Modicon address names its table: the field follows the function.
    const int function = FOwner->ChosenFunc() + 1;
    if (Notation().Base == TAddressBase::Modicon && function != FLastFunction) {
        const TAddressText a = ParseAddress(FOwner->leStartAddress->text(), FLastFunction, Notation());
        if (a.Ok) FOwner->leStartAddress->setText(FOwner->AddressText(a.Address, function));
        FLastFunction = function;
        FOwner->FillAddresses();
    }
    FLastFunction = function;
}

const TScaling* TRegisterTools::ScalingOf(int Row) const
{
    const auto it = FScaling.find(Row);
    return it == FScaling.end() ? nullptr : &it->second;
}

void TRegisterTools::SetScaling(int Row, const TScaling& Scaling)
{
    if (Scaling.Empty()) FScaling.erase(Row);
    else FScaling[Row] = Scaling;
    ShowEngineering();
}

void TRegisterTools::EditScaling(int Row)
{
    const TDataTypeInfo* type = Row > 0 ? ValueDecoding::FindDataType(FOwner->sgData->CellRef(colDataType, Row)) : nullptr;
    if (!type || !CanScale(*type))
        throw EAppError(QStringLiteral("Give the row a numeric data type first: engineering values scale numbers"));
    const TScaling* now = ScalingOf(Row);
    TfrmScaling dlg(FOwner, QStringLiteral("Engineering value of %1").arg(FOwner->sgData->CellRef(0, Row)),
                    now ? *now : TScaling(), CanEnumerate(*type));
    QPointer<TRegisterTools> self(this);
    if (dlg.exec() != QDialog::Accepted || !self) return;
    SetScaling(Row, dlg.Result);
}

void TRegisterTools::ShowEngineering()
{
    TfrmModbusMaster& w = *FOwner;
    if (FScaling.empty() || (w.FShownFunc != 3 && w.FShownFunc != 4)) return;
    w.FGridView.ShowEngineering(FScaling, w.ReadData);
}

TRegisterMap TRegisterTools::GridMap() const
{
    TfrmModbusMaster& w = *FOwner;
    TRegisterMap map;
    const int function = w.ChosenFunc() + 1;
    if (function < 1) throw EAppError(QStringLiteral("Choose a read function first: a map names its table"));
    const int start = w.StartAddressField(w.leStartAddress->text());
    for (int r = 1; r < w.sgData->RowCount(); ++r) {
        const QString& typeText = w.sgData->CellRef(colDataType, r);
        if (IsContinuation(typeText)) continue;
        TMapPoint p;
        p.Function = function;
        p.Address = ((start + r - 2) & 0xFFFF) + 1;
        p.Type = ValueDecoding::FindDataType(typeText);
        if (p.Type && (p.Type->Format == TTypeFormat::Bit) != (function <= 2)) p.Type = nullptr;
        p.Name = w.sgData->CellRef(colDescription, r);
        if (const TScaling* s = ScalingOf(r); s && p.Type && CanScale(*p.Type)) p.Scaling = *s;
        map.Points.push_back(std::move(p));
    }
    return map;
}

void TRegisterTools::FillBlock(const TRegisterMap& Map, const TMapBlock& Block)
{
    TfrmModbusMaster& w = *FOwner;
    w.cbFunc->setCurrentIndex(Block.Function - 1);
    FLastFunction = Block.Function;
    w.leLength->setText(QString::number(Block.Count));
    w.sgData->SetRowCount(Block.Count < 2 ? 2 : Block.Count + 1);
    for (int r = 1; r < w.sgData->RowCount(); ++r) {
        w.sgData->SetCells(colDataType, r, QString());
        w.sgData->SetCells(colDescription, r, QString());
    }
    FScaling.clear();
    for (const size_t i : Block.Points) {
        const TMapPoint& p = Map.Points[i];
        const int row = int(p.Address - Block.Start) + 1;
        if (p.Type) w.sgData->SetCells(colDataType, row, QString::fromLatin1(p.Type->Name));
        w.sgData->SetCells(colDescription, row, p.Name.isEmpty() ? p.Description : p.Name);
        if (!p.Scaling.Empty()) FScaling[row] = p.Scaling;
    }
    w.MarkContinuationRows();
    w.leStartAddress->setText(w.AddressText(Block.Start, Block.Function));
    w.FillAddresses();
}

QString TRegisterTools::ImportMap(const QString& FileName)
{
    TRegisterMap map;
    QString error;
    if (!LoadRegisterMap(FileName, map, error)) throw EAppError(QStringLiteral("The register map cannot be read: ") + error);
    if (map.Points.empty()) throw EAppError(QStringLiteral("The register map %1 names no point").arg(FileName));
    // The grid's Length field takes at most 100 rows.
    const std::vector<TMapBlock> blocks = PlanReads(map, 100, 100);
    FillBlock(map, blocks.front());
    if (blocks.size() == 1) return QString();
    // With poll windows in use, the other reads go to poll windows of their
    // own on the same link (one each), at the Data panel's Slave ID.
    if (FOwner->PollWindows && !FOwner->PollWindows->Windows().isEmpty()) {
        int unit = 1;
        TryStrToInt(FOwner->leSlaveID->text(), unit);
        for (size_t k = 1; k < blocks.size(); ++k) {
            const TMapBlock& b = blocks[k];
            TPollSettings s;
            s.Unit = unit;
            s.Func = b.Function;
            s.Start = int(b.Start);
            s.Length = b.Count;
            for (int r = 0; r < b.Count; ++r) {
                s.Types.append(QString());
                s.Descriptions.append(QString());
            }
            for (const size_t i : b.Points) {
                const TMapPoint& p = map.Points[i];
                const int r = int(p.Address - b.Start);
                if (p.Type) s.Types[r] = QString::fromLatin1(p.Type->Name);
                s.Descriptions[r] = p.Name.isEmpty() ? p.Description : p.Name;
            }
            FOwner->PollWindows->NewPollWindow(&s);
        }
        return QString();
    }
    const TMapBlock& b = blocks.front();
    return QStringLiteral("The map needs %1 reads; the grid shows the first: function %2, %3 to %4 (%5 of %6 points)")
        .arg(blocks.size())
        .arg(b.Function, 2, 10, QChar(u'0'))
        .arg(FOwner->AddressText(b.Start, b.Function), FOwner->AddressText(b.Start + b.Count - 1, b.Function))
        .arg(b.Points.size())
        .arg(map.Points.size());
}

void TRegisterTools::ExportMap(const QString& FileName) const
{
    TfrmModbusMaster::WriteTextFile(FileName, WriteRegisterMap(GridMap(), Notation()));
}

void TRegisterTools::AskImport()
{
    QFileDialog dlg(FOwner);
    if (QFileInfo(FOwner->FOptions.MapFolder).isDir()) dlg.setDirectory(FOwner->FOptions.MapFolder);
    dlg.setWindowTitle(QStringLiteral("Import register map"));
    dlg.setNameFilter(QStringLiteral("Register map (*.csv);;All files (*)"));
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    const QString name = RunSaveDialog(&dlg);
    if (name.isEmpty()) return;
    const QString note = ImportMap(name);
    FOwner->RememberFolder(&TTesterOptions::MapFolder, name);
    if (!note.isEmpty()) QMessageBox::information(FOwner, AppTitle(), note + u'.');
}

void TRegisterTools::AskExport()
{
    FOwner->SaveTextAs(QStringLiteral("Export register map"), QStringLiteral("Register map (*.csv);;All files (*)"),
                       QStringLiteral("csv"), &TTesterOptions::MapFolder, WriteRegisterMap(GridMap(), Notation()));
}

void TRegisterTools::SaveProfile(TIniFile& Ini) const
{
    // Rows past the grid's end are left out; keys of rows without one are
    // emptied, so that a profile saved over keeps none of its old ones.
    for (const QString& key : Ini.ReadSection(kScaling)) Ini.WriteString(kScaling, key, QString());
    for (const auto& [row, scaling] : FScaling)
        if (row < FOwner->sgData->RowCount()) Ini.WriteString(kScaling, QString::number(row), ScalingRecord(scaling));
}

void TRegisterTools::LoadProfile(const TIniFile& Ini)
{
    FScaling.clear();
    for (const QString& key : Ini.ReadSection(kScaling)) {
        int row = 0;
        TScaling s;
        QString why;
        if (TryStrToInt(key, row) && row >= 1 && ScalingFromRecord(Ini.ReadString(kScaling, key, QString()), s, why) && !s.Empty())
            FScaling[row] = s;
    }
}
