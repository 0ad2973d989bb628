#pragma once

#include <QByteArray>
#include <string>

class QWidget;

// A named window whose geometry (and any other window bytes the deriving class keeps)
// lives in the settings store under the window name, Base64-encoded. Not a QObject: a
// window lists it beside its Qt base, so that qt_metacast("SmartWindow") reaches it.
class SmartWindow {
public:
    SmartWindow();
    virtual ~SmartWindow();

    void setWindowName(std::string name);
    const std::string& windowName() const;

    void storeWindowBytes(std::string key, const QByteArray& bytes);
    // Empty when nothing is stored under (group, key).
    QByteArray loadWindowBytes(std::string group, std::string key);

    void saveWindowGeometry(QWidget* widget);
    // Call before the window is first shown. fallbackGroup is read when nothing is stored
    // under the window's own name; empty means no fallback. True when stored bytes were
    // found and accepted; otherwise the window keeps its built-in size and position.
    bool restoreWindowGeometry(QWidget* widget, std::string fallbackGroup);

private:
    std::string name_;
};
