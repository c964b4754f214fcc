// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Application errors of the tester and the one guard every UI handler runs in.
//
// A handler that meets bad input it cannot fall back from throws an EAppError;
// RunGuarded catches it at the edge of the handler, so no exception ever
// reaches the Qt event loop, and shows the message in an error box titled
// "ZORP" with a full stop appended.
#include <QString>
#include <functional>
#include <stdexcept>

class EAppError : public std::runtime_error {
public:
    explicit EAppError(const QString& message);
    QString Message() const { return FMessage; }

private:
    QString FMessage;
};

// A text that is not a decimal integer: "''%s'' is not a valid integer value".
class EConvertError : public EAppError {
public:
    using EAppError::EAppError;
};

// A file that cannot be written: "Unable to write to %s".
class EFileWriteError : public EAppError {
public:
    explicit EFileWriteError(const QString& fileName);
};

// Strict conversion: optional sign and decimal digits only, no blanks, within
// 32 bits. Throws EConvertError otherwise.
int StrToInt(const QString& s);
// The same test without an exception.
bool TryStrToInt(const QString& s, int& value);
// The integer of s, or def when s is not a decimal integer.
int StrToIntDef(const QString& s, int def);

// The program's name, used as the title of its message boxes.
QString AppTitle();

// The message of the exception being handled (to be called from a catch
// block): an EAppError's or any other std::exception's, "Unknown error" for
// anything else.
QString HandledErrorMessage();
// Shows message with a full stop in the error box; nothing escapes from it.
void ShowGuardedError(const QString& message);

// Runs body; an EAppError, any other std::exception or anything else thrown
// is caught and reported with ShowErrorBox. Returns false when body threw.
// Takes the callable as it is: wrapping it into a std::function would
// allocate at every event of a polling cycle.
template <class Body>
bool RunGuarded(Body&& body)
{
    QString message;
    try {
        body();
        return true;
    } catch (...) {
        message = HandledErrorMessage();
    }
    ShowGuardedError(message);
    return false;
}

// Shows text (as given) in a modal error box with an OK button, titled
// AppTitle(). When a hook is set, the hook receives (title, text) instead and
// no box is shown: tests use it.
void ShowErrorBox(const QString& text);
void SetErrorBoxHook(std::function<void(const QString& title, const QString& text)> hook);
