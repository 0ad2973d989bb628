#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtTest>
#include <fstream>

#include "dialogs/historyrecorder.h"
#include "dialogs/historyview.h"
#include "monitor/history.h"

using corvane::history::Event;
using corvane::history::History;
using corvane::history::Reading;

namespace {
constexpr qint64 kNow = 1700000000000;
constexpr qint64 kHour = 3600 * 1000;
}  // namespace

class TestHistoryView : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path;

    // Two drives read hourly over three days, bay 1's CRC errors rising once a day.
    void writeHistory() {
        History h;
        std::string said;
        QVERIFY2(h.openForWriting((path = dir.filePath("history.sqlite")).toStdString(), &said),
                 said.c_str());
        for (qint64 t = kNow - 72 * kHour; t <= kNow; t += kHour) {
            std::vector<Reading> round;
            for (unsigned bay : {0u, 1u}) {
                Reading r;
                r.timeMs = r.untilMs = t;
                r.device = "00aa11bb";
                r.bay = bay;
                r.drive = "SER" + std::to_string(bay);
                r.health = 1;
                r.temperature = uint32_t(400 + 10 * bay + (t / kHour) % 7 * 10);
                r.crcErrors = bay == 1 ? uint32_t((kNow - t) / (24 * kHour)) : 0;
                round.push_back(r);
            }
            QVERIFY(h.add(round, &said));
        }
        for (const Event& e : {Event{kNow - 2 * kHour, "00aa11bb", 1, "counter-rising", 4, "bay 1"},
                               Event{kNow - 50 * kHour, "00aa11bb", -1, "raid-degraded", 3, "x"},
                               Event{kNow, "other", -1, "raid-failed", 3, "x"}})
            QVERIFY(h.add(e, &said));
    }
    static int points(QChartView* view) {
        int n = 0;
        for (QAbstractSeries* s : view->chart()->series())
            n += int(static_cast<QLineSeries*>(s)->count());
        return n;
    }

private slots:
    void initTestCase() { writeHistory(); }

    // The window's own file: each reading, in order, a drive without its disk left out.
    void recordsTheWindowsReadings() {
        const QString own = dir.filePath("own/history.sqlite");
        {
            HistoryRecorder recorder(own);
            QVERIFY2(recorder.problem().isEmpty(), qPrintable(recorder.problem()));
            corvane::dcp::DcpRespDriveInfo d;
            d.driveIndex = 2;
            d.present = true;
            d.serialNumber = "WD-1";
            d.health = 1;
            for (uint32_t crc : {0u, 0u, 4u}) {
                d.crcErrors = crc;
                d.temperature = 415;
                recorder.record("00AA", d);
            }
            d.present = false;
            recorder.record("00AA", d);
        }
        History h;
        std::string said;
        QVERIFY2(h.openForReading(own.toStdString(), &said), said.c_str());
        const auto rows = h.readings("00aa", 0, QDateTime::currentMSecsSinceEpoch() + 1000);
        // One reading a drive a second: within the same second the latest stands.
        QVERIFY(rows.size() == 1 || (rows.size() == 2 && rows[0].rounds == 2));
        QCOMPARE(rows.back().crcErrors, 4u);
        QCOMPARE(rows.back().bay, 2u);
        QCOMPARE(rows.back().drive, std::string("WD-1"));
        QCOMPARE(rows.back().temperature, 415u);

        std::ofstream(dir.filePath("blocker").toStdString()) << "x";
        HistoryRecorder none(dir.filePath("blocker/history.sqlite"));
        QVERIFY(!none.problem().isEmpty());
        none.record("00aa", corvane::dcp::DcpRespDriveInfo());  // nothing, no crash
    }

    // The periods, the drives and the device's events, from a file beside a damaged one.
    void showsThePeriodsDrivesAndEvents() {
        const QString damaged = dir.filePath("damaged.sqlite");
        std::ofstream(damaged.toStdString()) << "not a history";
        HistoryView view;
        view.setSources({damaged, path, dir.filePath("absent.sqlite")});
        view.setNow(kNow);
        view.setDevice("00AA11BB");
        QSignalSpy loaded(&view, &HistoryView::loaded);
        view.resize(900, 600);
        view.show();
        QVERIFY(loaded.count() || loaded.wait(5000));

        auto* drives = view.findChild<QComboBox*>("cb_drive");
        auto* range = view.findChild<QComboBox*>("cb_range");
        auto* events = view.findChild<QTreeWidget*>("tw_events");
        auto* status = view.findChild<QLabel*>("lb_status");
        const auto charts = view.findChildren<QChartView*>();
        QCOMPARE(drives->count(), 2);
        QCOMPARE(charts.size(), 2);
        QVERIFY2(status->text().contains("damaged.sqlite"), qPrintable(status->text()));
        // The last day: 25 hourly rounds, each drawn at its start and end.
        QCOMPARE(events->topLevelItemCount(), 1);
        QCOMPARE(events->topLevelItem(0)->text(1), QString("counter-rising"));
        QCOMPARE(points(charts[0]), 2 * 25);
        QCOMPARE(points(charts[1]), 3 * 2 * 25);

        range->setCurrentIndex(1);  // the last week: all three days
        QVERIFY(loaded.wait(5000));
        QCOMPARE(events->topLevelItemCount(), 2);
        QCOMPARE(events->topLevelItem(0)->text(1), QString("counter-rising"));  // newest first
        QCOMPARE(points(charts[0]), 2 * 73);

        drives->setCurrentIndex(1);
        auto* crc = static_cast<QLineSeries*>(charts[1]->chart()->series().at(2));
        QCOMPARE(crc->at(0).y(), 3.0);
        QCOMPARE(crc->at(crc->count() - 1).y(), 0.0);

        // Light and dark: the chart takes the palette's base and text.
        for (bool dark : {false, true}) {
            QPalette p = view.palette();
            p.setColor(QPalette::Window, dark ? QColor(40, 40, 40) : QColor(240, 240, 240));
            p.setColor(QPalette::Base, dark ? QColor(25, 25, 25) : QColor(255, 255, 255));
            p.setColor(QPalette::Text, dark ? QColor(230, 230, 230) : QColor(20, 20, 20));
            view.setPalette(p);
            QCoreApplication::processEvents();
            const QImage shot = view.grab().toImage();
            QCOMPARE(charts[0]->chart()->backgroundBrush().color(), p.color(QPalette::Base));
            const QColor corner = shot.pixelColor(charts[0]->geometry().center() / 4 +
                                                  charts[0]->parentWidget()->pos());
            QVERIFY2(dark ? corner.lightness() < 128 : corner.lightness() > 128,
                     qPrintable(corner.name()));
        }
    }
};

QTEST_MAIN(TestHistoryView)
#include "tst_history.moc"
