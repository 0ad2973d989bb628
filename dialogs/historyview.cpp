#include "dialogs/historyview.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QStandardPaths>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <map>

#include "ui_historyview.h"

namespace {

using corvane::history::History;
using corvane::history::kDayMs;

constexpr qint64 kSameChangeMs = 2 * 60 * 1000;
constexpr qint64 kRanges[] = {kDayMs, 7 * kDayMs, 31 * kDayMs};

HistoryView::Loaded load(const QStringList& sources, const std::string& device, qint64 from,
                         qint64 to) {
    HistoryView::Loaded out;
    std::vector<std::vector<corvane::history::Event>> events;
    for (const QString& path : sources) {
        if (!QFile::exists(path)) {
            continue;
        }
        History h;
        std::string said;
        if (!h.openForReading(path.toStdString(), &said)) {
            out.problems << QString::fromStdString(said);
            continue;
        }
        for (auto& r : h.readings(device, from, to)) {
            out.readings.push_back(std::move(r));
        }
        events.push_back(h.events(device, from, to));
    }
    std::stable_sort(out.readings.begin(), out.readings.end(),
                     [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
    // While both ran, the service and the window each saw a change within a round of the
    // service's (a minute by default) of the other.
    out.events = corvane::history::mergeEvents(std::move(events), kSameChangeMs);
    return out;
}

QChartView* makeChart(QWidget* parent) {
    auto* view = new QChartView(new QChart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(260, 200);
    view->chart()->legend()->setAlignment(Qt::AlignBottom);
    return view;
}

}  // namespace

HistoryView::HistoryView(QWidget* parent)
    : QWidget(parent),
      ui(new Ui::HistoryView),
      sources_(defaultSources()),
      temperature_(nullptr),
      counters_(nullptr) {
    ui->setupUi(this);
    temperature_ = makeChart(ui->w_charts);
    counters_ = makeChart(ui->w_charts);
    ui->chartLayout->addWidget(temperature_);
    ui->chartLayout->addWidget(counters_);
    ui->tw_events->setColumnWidth(0, fontMetrics().horizontalAdvance("0000-00-00 00:00:00  "));
    connect(&watcher_, &QFutureWatcher<Loaded>::finished, this,
            [this] { present(watcher_.result()); });
    connect(ui->cb_range, &QComboBox::currentIndexChanged, this, &HistoryView::reload);
    connect(ui->cb_drive, &QComboBox::currentIndexChanged, this, &HistoryView::drawDrive);
    applyTheme();
}

HistoryView::~HistoryView() {
    watcher_.waitForFinished();
    delete ui;
}

QStringList HistoryView::defaultSources() {
    return {QStringLiteral("/var/lib/drivelore/history.sqlite"),
            QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                .filePath(QStringLiteral("history.sqlite"))};
}

void HistoryView::setSources(const QStringList& paths) {
    sources_ = paths;
}

void HistoryView::setNow(qint64 ms) {
    now_ = ms;
}

void HistoryView::setDevice(const QString& key) {
    if (device_ != key.toLower()) {
        device_ = key.toLower();
        if (isVisible()) {
            reload();
        }
    }
}

void HistoryView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
}

void HistoryView::reload() {
    if (device_.isEmpty()) {
        return;
    }
    if (watcher_.isRunning()) {
        watcher_.waitForFinished();  // a file read, short; the newer range follows
    }
    const qint64 to = now_ ? now_ : QDateTime::currentMSecsSinceEpoch();
    const qint64 from = to - kRanges[std::clamp(ui->cb_range->currentIndex(), 0, 2)];
    ui->lb_status->setText(tr("Reading the history..."));
    watcher_.setFuture(QtConcurrent::run(load, sources_, device_.toStdString(), from, to));
}

void HistoryView::present(const Loaded& data) {
    data_ = data;
    const QString current = ui->cb_drive->currentData().toString();
    std::map<QString, QString> drives;  // bay and serial -> shown text
    for (const auto& r : data_.readings) {
        const QString id = QString::number(r.bay) + '\n' + QString::fromStdString(r.drive);
        drives[id] = tr("Bay %1: %2").arg(r.bay).arg(QString::fromStdString(r.drive));
    }
    {
        const QSignalBlocker quiet(ui->cb_drive);
        ui->cb_drive->clear();
        for (const auto& [id, text] : drives) {
            ui->cb_drive->addItem(text, id);
        }
        const int at = ui->cb_drive->findData(current);
        ui->cb_drive->setCurrentIndex(at >= 0 ? at : 0);
    }
    QStringList status = data_.problems;
    if (data_.readings.empty() && data_.events.empty() && status.isEmpty()) {
        status << tr(
            "No history of this device in this period. The monitor service "
            "(drivelore-monitor) keeps it, and this window while it runs.");
    }
    ui->lb_status->setText(status.join('\n'));
    ui->lb_status->setVisible(!status.isEmpty());
    ui->tw_events->clear();
    for (auto it = data_.events.rbegin(); it != data_.events.rend(); ++it) {
        auto* item = new QTreeWidgetItem(ui->tw_events);
        item->setText(0, QDateTime::fromMSecsSinceEpoch(it->timeMs)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        item->setText(1, QString::fromStdString(it->name));
        item->setText(2, QString::fromStdString(it->message));
    }
    drawDrive();
    emit loaded();
}

void HistoryView::drawDrive() {
    const QString id = ui->cb_drive->currentData().toString();
    auto* temperature = new QLineSeries;
    temperature->setName(tr("Temperature (°C)"));
    QLineSeries* counters[3] = {new QLineSeries, new QLineSeries, new QLineSeries};
    counters[0]->setName(tr("Scan errors"));
    counters[1]->setName(tr("Remapped blocks"));
    counters[2]->setName(tr("CRC errors"));
    double top = 1;
    for (const auto& r : data_.readings) {
        if (QString::number(r.bay) + '\n' + QString::fromStdString(r.drive) != id) {
            continue;
        }
        // A run: its first and its last round, so a steady value is drawn flat.
        for (qint64 t : {r.timeMs, r.untilMs}) {
            if (r.temperature != 0) {
                temperature->append(double(t), r.temperature / 10.0);
            }
            const uint32_t values[3] = {r.scanErrors, r.badBlocksRemapped, r.crcErrors};
            for (int i = 0; i < 3; ++i) {
                counters[i]->append(double(t), values[i]);
                top = std::max(top, double(values[i]));
            }
        }
    }
    const qint64 to = now_ ? now_ : QDateTime::currentMSecsSinceEpoch();
    const qint64 from = to - kRanges[std::clamp(ui->cb_range->currentIndex(), 0, 2)];
    auto fill = [&](QChartView* view, const QString& title, std::vector<QLineSeries*> series,
                    double low, double high) {
        QChart* chart = view->chart();
        chart->removeAllSeries();
        for (QAbstractAxis* axis : chart->axes()) {
            chart->removeAxis(axis);
            delete axis;
        }
        chart->setTitle(title);
        auto* x = new QDateTimeAxis;
        x->setFormat(ui->cb_range->currentIndex() == 0 ? QStringLiteral("HH:mm")
                                                       : QStringLiteral("dd.MM."));
        x->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
        x->setTickCount(5);
        auto* y = new QValueAxis;
        y->setRange(low, high);
        y->setLabelFormat(QStringLiteral("%.0f"));
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        for (QLineSeries* s : series) {
            chart->addSeries(s);
            s->attachAxis(x);
            s->attachAxis(y);
        }
    };
    double tLow = 20, tHigh = 60;
    for (const QPointF& p : temperature->points()) {
        tLow = std::min(tLow, std::floor(p.y() / 5) * 5);
        tHigh = std::max(tHigh, std::ceil(p.y() / 5) * 5);
    }
    fill(temperature_, tr("Temperature"), {temperature}, tLow, tHigh);
    fill(counters_, tr("Error counters"), {counters[0], counters[1], counters[2]}, 0,
         std::ceil(top * 1.1));
    applyTheme();
}

void HistoryView::applyTheme() {
    // The chart's own theme, chosen by the palette, so both schemes stay readable.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    for (QChartView* view : {temperature_, counters_}) {
        view->chart()->setTheme(dark ? QChart::ChartThemeDark : QChart::ChartThemeLight);
        view->chart()->setBackgroundBrush(palette().base());
        view->chart()->setTitleBrush(palette().text());
        view->chart()->legend()->setLabelColor(palette().color(QPalette::Text));
        for (QAbstractAxis* axis : view->chart()->axes()) {
            axis->setLabelsColor(palette().color(QPalette::Text));
        }
    }
}

void HistoryView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        applyTheme();
    }
    QWidget::changeEvent(event);
}
