// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmDataEditor: the small modal dialog in which the user picks a row's data
// type or types its description; ExecuteDataEditor runs it for one cell.
#include <QDialog>
#include <QStringList>
#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TfrmDataEditor : public QDialog {
    Q_OBJECT
public:
    explicit TfrmDataEditor(QWidget* parent = nullptr);

    // Designed client size.
    static constexpr int DesignWidth = 251;
    static constexpr int DesignHeight = 104;
    // The dialog's result after btnOKClick.
    static constexpr int mrOk = 1;

    QGroupBox* gbDataType = nullptr;
    QComboBox* cbDataType = nullptr;
    QGroupBox* gbDescription = nullptr;
    QLineEdit* edDescription = nullptr;
    QPushButton* btnOK = nullptr;
    // Under the type list: the row's value read as the selected type.
    QLabel* lblPreview = nullptr;

    // The row's registers as the grid shows them: the Data [HEX] texts of
    // the row and the rows below it (up to four). Every type in the list
    // then shows what the value reads as in that type and byte order (beside
    // its name in the open list, and in its tooltip), and lblPreview the
    // selected type's. No texts: no preview.
    void SetPreview(const QStringList& HexTexts);
    // The preview of the type at Index ("" without a preview).
    QString PreviewText(int Index) const;

    void btnOKClick(QObject* Sender);
    // Enter (key code 13) acts as btnOKClick; other keys are left to the control.
    // Key is set to 0 when the key was taken.
    void cbDataTypeKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    void edDescriptionKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    // Gives the focus to the control of the visible group box.
    void FormShow(QObject* Sender);

    // Called at the end of every FormShow with the dialog being shown; lets
    // tests drive the modal dialog. Unset in the program.
    static std::function<void(TfrmDataEditor*)> OnShownHook;

protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdatePreviewLabel();
    QStringList FPreview;
    QString FPreviewTip;
};

// Runs the data editor for grid column 1 (Data Type) or 3 (Description) with
// the cell's current text and the row's Address text. Returns true, with the
// chosen type name (empty when none is selected) or the typed description in
// newText, when the user closed the dialog with OK; false otherwise, leaving
// newText unchanged.
// hexTexts: the Data [HEX] texts of the row and the rows below it, for the
// preview of the value in every type (SetPreview).
bool ExecuteDataEditor(int column, const QString& currentText, const QString& addressText, QString& newText,
                       const QStringList& hexTexts = {});
