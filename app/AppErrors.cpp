// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppErrors.h"
#include "StrictInt.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

EAppError::EAppError(const QString& message)
    : std::runtime_error(message.toStdString()), FMessage(message)
{
}

EFileWriteError::EFileWriteError(const QString& fileName)
    : EAppError(QStringLiteral("Unable to write to %1").arg(fileName))
{
}

bool TryStrToInt(const QString& s, int& value)
{
    int64_t v = 0;
    if (!zorp::ParseInt(s, INT32_MIN, INT32_MAX, v, zorp::IntSign))
        return false;
    value = static_cast<int>(v);
    return true;
}

int StrToInt(const QString& s)
{
    int v = 0;
    if (!TryStrToInt(s, v))
        throw EConvertError(QStringLiteral("''%1'' is not a valid integer value").arg(s));
    return v;
}

int StrToIntDef(const QString& s, int def)
{
    int v = 0;
    return TryStrToInt(s, v) ? v : def;
}

QString AppTitle()
{
    return QStringLiteral("ZORP");
}

namespace {
std::function<void(const QString&, const QString&)>& errorBoxHook()
{
    static std::function<void(const QString&, const QString&)> hook;
    return hook;
}

QString withFullStop(const QString& message)
{
    return message + QLatin1Char('.');
}
} // namespace

void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook)
{
    errorBoxHook() = std::move(hook);
}

void ShowErrorBox(const QString& text)
{
    if (errorBoxHook()) {
        errorBoxHook()(AppTitle(), text);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), AppTitle(), text, QMessageBox::Ok);
}

QString HandledErrorMessage()
{
    try {
        throw;
    } catch (const EAppError& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ShowGuardedError(const QString& message)
{
    // The box runs a nested event loop; it must not throw out of here either.
    try {
        ShowErrorBox(withFullStop(message));
    } catch (...) {
    }
}
