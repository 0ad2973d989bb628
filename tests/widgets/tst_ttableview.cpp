#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QProxyStyle>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QStyleOptionProgressBar>
#include <QTest>
#include <climits>

#include "widgets/tdelegate.h"
#include "widgets/ttableview.h"

namespace {

// Fusion, remembering every progress bar it is asked to draw.
class BarRecorder : public QProxyStyle {
public:
    BarRecorder() : QProxyStyle(QStyleFactory::create("Fusion")) {}
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element == CE_ProgressBar)
            bars.append(*qstyleoption_cast<const QStyleOptionProgressBar*>(option));
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    mutable QList<QStyleOptionProgressBar> bars;
};

BarRecorder* recorder = nullptr;

template <typename T>
QVariant item(const T& value) {
    return QVariant::fromValue(value);
}

template <typename Pred>
QRect pixelBox(const QImage& image, QRect area, Pred pred) {
    area &= image.rect();
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (pred(QColor(image.pixel(x, y))))
                box |= QRect(x, y, 1, 1);
    return box;
}

QRect inkBox(const QImage& image, const QRect& area) {
    return pixelBox(image, area, [](const QColor& c) { return qGray(c.rgb()) < 128; });
}

// Runs of ink along x (vertical == false: columns) or y (rows) within area.
int inkRuns(const QImage& image, const QRect& area, bool vertical) {
    int runs = 0;
    bool inRun = false;
    for (int i = vertical ? area.top() : area.left();
         i <= (vertical ? area.bottom() : area.right()); ++i) {
        const QRect slice = vertical ? QRect(area.left(), i, area.width(), 1)
                                     : QRect(i, area.top(), 1, area.height());
        const bool ink = !inkBox(image, slice).isEmpty();
        runs += ink && !inRun;
        inRun = ink;
    }
    return runs;
}

QImage paintCell(const QVariant& value, QSize size) {
    TTableModel model;
    model.setHeaders({"A"});
    model.setRowCount(1);
    model.setData(model.index(0, 0), value);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.font = QApplication::font();
    option.palette = QApplication::palette();
    option.state = QStyle::State_Enabled;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    TDelegate().paint(&painter, option, model.index(0, 0));
    return image;
}

}  // namespace

class TestTableView : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        recorder = new BarRecorder;
        QApplication::setStyle(recorder);
        QApplication::setFont(QFont("DejaVu Sans", 9));
    }
    void init() { recorder->bars.clear(); }

    void setItemGrowsRowsAndRefusesBadCells() {
        TTableView v;
        v.setItem(0, 0, QString("no headers yet"));
        QCOMPARE(v.rowCount(), 0);
        v.setHeaders({"A", "B"});
        v.setItem(5, 0, QString("five"));
        QCOMPARE(v.rowCount(), 6);
        QVERIFY(!v.model()->index(4, 0).data().isValid());
        v.setItem(7, 2, QString("no such column"));
        v.setItem(-1, 0, QString("x"));
        v.setItem(INT_MAX, 0, QString("x"));
        QCOMPARE(v.rowCount(), 8);
        QCOMPARE(v.itemText(7, 2), QString());

        v.setItem(0, 1, QPixmap(4, 4));
        v.setItem(1, 0, QIcon(), QString("icon"));
        v.setItem(1, 1, 1, 2, QString("bar"));
        QVERIFY(isCellItem<TPixmapItem>(v.model()->index(0, 1).data()));
        QCOMPARE(v.itemText(5, 0) + v.itemText(1, 0) + v.itemText(1, 1), QString("fiveiconbar"));
        QCOMPARE(v.itemText(0, 1) + v.itemText(99, 0), QString());

        v.removeColumn(0);
        v.removeRow(1);
        QCOMPARE(v.itemText(4, 0) + QString::number(v.model()->columnCount()), QString("five2"));
        v.clear();
        QCOMPARE(v.model()->columnCount(), 0);
    }

    void columnWidthsSkipOversizedEntries() {
        TTableView v;
        v.horizontalHeader()->setDefaultSectionSize(150);
        v.setHeaders({"A", "B"});
        QCOMPARE(v.horizontalHeader()->length(), 300);
        v.setColumnWidths({125, 9999, 40});
        QCOMPARE(v.columnWidths(), (QList<int>{125, 150}));
    }

    void mouseSignalsAndDeselection() {
        TTableView v;
        v.setHeaders({"A", "B"});
        v.setItem(1, 0, QString("second"));  // (0, 1) is never set
        v.resize(400, 300);
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QList<QVariant> items, current;
        connect(&v, &TTableView::itemClicked, [&](const QVariant& i) { items << i; });
        connect(&v, &TTableView::currentItemChanged,
                [&](const QVariant& now, const QVariant& before) { current << now << before; });
        QSignalSpy cells(&v, &TTableView::cellClicked);
        QSignalSpy currentCells(&v, &TTableView::currentCellChanged);
        const auto click = [&](int row, int column, int below = 0) {
            const QPoint centre = v.visualRect(v.model()->index(row, column)).center();
            QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, centre + QPoint(0, below));
        };

        const QModelIndex before = v.currentIndex();
        click(0, 1);
        QCOMPARE(cells.at(0), (QList<QVariant>{0, 1}));
        QCOMPARE(currentCells.last(), (QList<QVariant>{0, 1, before.row(), before.column()}));
        QVERIFY(items.isEmpty() && current.isEmpty());

        click(1, 0);
        QCOMPARE(cells.last(), (QList<QVariant>{1, 0}));
        QCOMPARE(cellItem<TStringItem>(items.value(0)).text(), QString("second"));
        QCOMPARE(cellItem<TStringItem>(current.value(0)).text(), QString("second"));
        QVERIFY(!current.value(1).isValid());
        QVERIFY(v.hasSelection());
        click(1, 0, 3 * v.rowHeight(1));
        QVERIFY(!v.hasSelection());

        QSignalSpy changed(&v, &TTableView::cellChanged);
        v.setItem(1, 1, QString("new"));
        QCOMPARE(changed.last(), (QList<QVariant>{1, 1}));
    }

    void sortFollowsTheHeaderWhenEnabled() {
        TTableView v;
        v.setHeaders({"A"});
        for (const char* text : {"b", "c", "a"})
            v.setItem(v.rowCount(), 0, QString(text));
        const auto texts = [&] { return v.itemText(0, 0) + v.itemText(1, 0) + v.itemText(2, 0); };
        QSignalSpy orders(&v, &TTableView::sortRowOrderChanged);
        v.horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
        v.sort();
        QCOMPARE(orders.count(), 0);
        v.setSortingEnabled(true);
        QCOMPARE(texts(), QString("abc"));
        v.setItem(0, 0, QString("z"));  // changed data stays where it is
        QCOMPARE(texts(), QString("zbc"));
        v.sort();
        QCOMPARE(texts(), QString("bcz"));
        QCOMPARE(orders.last().first().value<QList<int>>(), (QList<int>{1, 2, 0}));
    }

    void emptyTableShowsOnlyTheNotice() {
        TTableView v;
        v.setHeaders({"A", "B"});
        v.resize(400, 300);
        QImage image = v.grab().toImage();
        const QRect viewport = v.viewport()->geometry();
        const QRect ink = inkBox(image, viewport);
        QFont font;
        font.setPixelSize(16);
        QVERIFY(qAbs(ink.width() - QFontMetrics(font).horizontalAdvance("(No Devices Found.)")) <=
                3);
        // Centred on the whole view less 16 pixels at the bottom, not on the viewport.
        const QPoint centre = viewport.topLeft() + v.rect().adjusted(0, 0, 0, -16).center();
        QVERIFY(qAbs(ink.center().x() - centre.x()) <= 2);
        QVERIFY(qAbs(ink.center().y() - centre.y()) <= 3);

        const auto strayPixels = [&](const QImage& img) {
            const QRgb base = img.pixel(viewport.topLeft() + QPoint(2, 2));
            int stray = 0;
            for (int y = viewport.top(); y <= viewport.bottom(); ++y)
                for (int x = viewport.left(); x <= viewport.right(); ++x)
                    stray += !ink.adjusted(-1, -1, 1, 1).contains(x, y) && img.pixel(x, y) != base;
            return stray;
        };
        QCOMPARE(strayPixels(image), 0);
        v.setItem(0, 0, QString("x"));
        image = v.grab().toImage();
        QVERIFY(inkBox(image, ink).isEmpty());
        QVERIFY(strayPixels(image) > 0);  // the grid and the cell
    }

    void richTextCutsWithEllipsisAndBreaksLines() {
        const QString text(30, QLatin1Char('W'));
        QVERIFY(QFontMetrics(QApplication::font()).horizontalAdvance(text) > 2 * 120);
        // Behind the last column reaching the cap height (the last W) come three whole dots.
        const auto dotsAfterText = [](const QImage& img) {
            const QRect box = inkBox(img, img.rect());
            const QRect upper = inkBox(img, QRect(0, box.top(), img.width(), box.height() / 2));
            return inkRuns(img, QRect(upper.right() + 1, 0, img.width(), img.height()), false);
        };
        const QImage cut = paintCell(item(TStringItem(text)), QSize(120, 24));
        QVERIFY(inkBox(cut, cut.rect()).right() <= 120 - 4);
        QCOMPARE(dotsAfterText(cut), 3);
        QCOMPARE(dotsAfterText(paintCell(item(TStringItem("WW")), QSize(120, 24))), 0);

        const QImage two = paintCell(item(TStringItem("first\nsecond")), QSize(150, 60));
        QCOMPARE(inkRuns(two, two.rect(), true), 2);
        const QImage one = paintCell(item(TStringItem("first second")), QSize(150, 60));
        QCOMPARE(inkRuns(one, one.rect(), true), 1);
    }

    void progressBars() {
        const QImage image = paintCell(item(TProgressbarItem{40, 80}), QSize(200, 40));
        QCOMPARE(recorder->bars.size(), 1);
        const QStyleOptionProgressBar bar = recorder->bars.first();
        QCOMPARE(bar.rect, QRect(0, 9, 200, 21));
        QCOMPARE(bar.text, QString("50.0%"));
        QCOMPARE(QList<int>({bar.minimum, bar.progress, bar.maximum}), QList<int>({0, 40, 80}));
        QVERIFY(bar.textVisible && (bar.state & QStyle::State_Horizontal));
        const QRect chunk = pixelBox(image, QRect(0, bar.rect.top() + 3, 200, 1),
                                     [](const QColor& c) { return c.blue() > c.red() + 60; });
        QVERIFY2(qAbs(chunk.width() - 100) <= 6, qPrintable(QString::number(chunk.width())));

        paintCell(item(TProgressbarItem{5, 0}), QSize(100, 15));
        QCOMPARE(recorder->bars.last().rect, QRect(0, 0, 100, 15));
        QCOMPARE(recorder->bars.last().text, QString());

        // Bar over text, the pair centred in the cell.
        const QImage both =
            paintCell(item(TProgressbarWithStringItem(2500, 10000, "Rebuilding")), QSize(200, 70));
        const QRect barRect = recorder->bars.last().rect;
        QCOMPARE(recorder->bars.last().text, QString("25.0%"));
        QCOMPARE(barRect.height(), 21);
        const QRect text = inkBox(both, QRect(0, barRect.bottom() + 1, 200, 70));
        QVERIFY(!text.isEmpty());
        QVERIFY(qAbs(barRect.top() - (69 - text.bottom())) <= 4);
    }

    void iconLeftOfText() {
        QPixmap red(16, 16);
        red.fill(Qt::red);
        const QImage image =
            paintCell(item(TIconWithStringItem(QIcon(red), "Warn")), QSize(200, 30));
        const QRect icon = pixelBox(
            image, image.rect(), [](const QColor& c) { return c.red() > 200 && c.green() < 80; });
        QVERIFY(icon.left() == 2 && icon.right() <= 15);
        QVERIFY(qAbs(icon.center().y() - 15) <= 1);
        const int textLeft = inkBox(image, QRect(16, 0, 184, 30)).left();
        QVERIFY(textLeft >= 16 + 4 && textLeft <= 16 + 4 + 2);
    }

    void sizeHintsPerType() {
        TTableModel m;
        m.setHeaders({"A"});
        m.setRowCount(1);
        QStyleOptionViewItem option;
        option.font = QApplication::font();
        TDelegate delegate;
        const auto hint = [&](const QVariant& value) {
            m.setData(m.index(0, 0), value);
            return delegate.sizeHint(option, m.index(0, 0));
        };
        const QString two = "Drive Healthy\nTemperature: 38.5 C";
        const QFontMetrics fm(option.font);
        const QSize text = fm.size(Qt::AlignVCenter | Qt::AlignJustify, two);
        QVERIFY(text.height() >= 2 * fm.height());
        QPixmap warning(32, 32);
        QCOMPARE(hint(item(TStringItem(two))), text + QSize(8, 4));
        QCOMPARE(hint(item(TIconWithStringItem(QIcon(warning), two))), text + QSize(24, 20));
        QCOMPARE(hint(item(TProgressbarWithStringItem(1, 2, two))), text + QSize(0, 21));
        QCOMPARE(hint(item(TProgressbarItem())), QSize(100, 21));
        QCOMPARE(hint(item(TPixmapItem(QPixmap(175, 100)))), QSize(175, 100));
        QCOMPARE(delegate.createEditor(nullptr, option, m.index(0, 0)), nullptr);
    }
};

int runViewTests(int argc, char** argv) {
    TestTableView tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_ttableview.moc"
