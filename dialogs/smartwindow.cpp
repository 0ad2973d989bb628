#include "dialogs/smartwindow.h"

#include <QWidget>

#include "settings/kvstore.h"

namespace {
const char kGeometryKey[] = "geometry";
}

SmartWindow::SmartWindow() = default;

SmartWindow::~SmartWindow() = default;

void SmartWindow::setWindowName(std::string name) {
    name_ = std::move(name);
}

const std::string& SmartWindow::windowName() const {
    return name_;
}

void SmartWindow::storeWindowBytes(std::string key, const QByteArray& bytes) {
    corvane::settings().setString(name_, key, bytes.toBase64().toStdString());
}

QByteArray SmartWindow::loadWindowBytes(std::string group, std::string key) {
    const std::string text = corvane::settings().getString(group, key, std::string());
    return QByteArray::fromBase64(QByteArray::fromStdString(text));
}

void SmartWindow::saveWindowGeometry(QWidget* widget) {
    storeWindowBytes(kGeometryKey, widget->saveGeometry());
}

bool SmartWindow::restoreWindowGeometry(QWidget* widget, std::string fallbackGroup) {
    QByteArray bytes = loadWindowBytes(name_, kGeometryKey);
    if (bytes.isEmpty() && !fallbackGroup.empty()) {
        bytes = loadWindowBytes(fallbackGroup, kGeometryKey);
    }
    if (bytes.isEmpty()) {
        return false;
    }
    // A rejected value leaves the built-in geometry.
    return widget->restoreGeometry(bytes);
}
