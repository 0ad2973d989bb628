#pragma once

#include <QFutureWatcher>
#include <QStringList>
#include <QWidget>
#include <vector>

#include "monitor/history.h"

class QChart;
class QChartView;

namespace Ui {
class HistoryView;
}

// A device's history: per drive, temperature and error counters over the last day, week
// or month as charts, and the device's events. Read from the monitor service's file and
// the window's own, in a worker thread: a large file never stalls the window.
class HistoryView : public QWidget {
    Q_OBJECT

public:
    explicit HistoryView(QWidget* parent = nullptr);
    ~HistoryView() override;

    // The service's file first, then the window's own.
    static QStringList defaultSources();
    void setSources(const QStringList& paths);
    // The monitor's key of the device (StorageManager::deviceKey); read when shown.
    void setDevice(const QString& key);
    void reload();
    // Milliseconds since the epoch that "now" means; tests fix it.
    void setNow(qint64 ms);

    struct Loaded {
        std::vector<corvane::history::Reading> readings;
        std::vector<corvane::history::Event> events;
        QStringList problems;
    };

signals:
    void loaded();

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void present(const Loaded& data);
    void drawDrive();
    void applyTheme();

    Ui::HistoryView* ui;
    QStringList sources_;
    QString device_;
    qint64 now_ = 0;
    Loaded data_;
    QFutureWatcher<Loaded> watcher_;
    QChartView* temperature_;
    QChartView* counters_;
};
