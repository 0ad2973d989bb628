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

template <typename T>
QVariant item(const T& value) {
    return QVariant::fromValue(value);
}

QVariant str(const QString& text) {
    return item(TStringItem(text));
}

// The texts in a column, empty for cells without one.
QStringList texts(const QAbstractItemModel& m, int column) {
    QStringList all;
    for (int row = 0; row < m.rowCount(); ++row)
        cellItemText(m.index(row, column).data(), all.emplace_back());
    return all;
}

// Reaches positions outside the table, as a stale index would.
struct Probe : TTableModel {
    using TTableModel::createIndex;
};

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
    for (int i = 0, before = 0; i < (vertical ? area.height() : area.width()); ++i) {
        const QRect slice = vertical ? QRect(area.left(), area.top() + i, area.width(), 1)
                                     : QRect(area.left() + i, area.top(), 1, area.height());
        const int ink = !inkBox(image, slice).isEmpty();
        runs += ink > before;
        before = ink;
    }
    return runs;
}

// The size a cell text asks for, lines broken at \n.
QSize textSize(const QString& text) {
    return QFontMetrics(QFont()).size(Qt::AlignVCenter | Qt::AlignJustify, text);
}

// Paints value as the only cell of a table; hint, when given, gets the size the cell asks for.
// The selection is the device list's fixed light blue.
QImage paintCell(const QVariant& value, QSize size, QSize* hint = nullptr,
                 QStyle::State state = QStyle::State_Enabled) {
    TTableModel model;
    model.setHeaders({"A"});
    model.setRowCount(1);
    model.setData(model.index(0, 0), value);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = state;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.palette.setColor(QPalette::Highlight, QColor(0x629cff));
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    TDelegate delegate;
    delegate.paint(&painter, option, model.index(0, 0));
    if (hint)
        *hint = delegate.sizeHint(option, model.index(0, 0));
    return image;
}

}  // namespace

class TestWidgets : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setStyle(recorder = new BarRecorder);
        QApplication::setFont(QFont("DejaVu Sans", 9));
    }

    void rowsMoveWholeAndPositionsOutsideAreRefused() {
        Probe m;
        QVERIFY(!m.insertRows(0, 3));  // no headers, so no cell could exist
        QSignalSpy headers(&m, &QAbstractItemModel::headerDataChanged);
        m.setHeaders({"A", "B", "C"});
        QCOMPARE(headers.at(0), (QList<QVariant>{QVariant::fromValue(Qt::Horizontal), 0, 2}));
        m.setRowCount(2);
        m.setData(m.index(1, 0), str("a1"));
        m.setData(m.index(1, 1), str("b1"));
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        for (auto [row, column] : {std::pair{2, 0}, {0, 3}, {-1, 0}}) {
            QVERIFY(!m.setData(m.createIndex(row, column), str("x")));
            QVERIFY(!m.data(m.createIndex(row, column)).isValid());
        }
        for (auto [row, count] : {std::pair{3, 1}, {-1, 1}, {0, 0}, {0, -2}, {0, INT_MAX}})
            QVERIFY(!m.insertRows(row, count));
        for (auto [row, count] : {std::pair{1, 2}, {-1, 1}, {0, 0}, {1, INT_MAX}})
            QVERIFY(!m.removeRows(row, count));
        QCOMPARE(m.rowCount(), 2);
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m.headerData(3, Qt::Horizontal).isValid());
        QVERIFY(!m.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!m.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());

        QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
        QVERIFY(m.insertRows(1, 2));
        QCOMPARE(inserted.at(0).mid(1), (QList<QVariant>{1, 2}));
        QCOMPARE(texts(m, 1).value(3), QString("b1"));
        QVERIFY(m.removeRows(1, 2));
        // Fewer, then more columns: each row keeps its leading cells.
        m.setHeaders({"A"});
        m.setHeaders({"A", "B", "C", "D"});
        QCOMPARE(m.rowCount(), 2);
        QCOMPARE(texts(m, 0).value(1) + "|" + texts(m, 1).value(1), QString("a1|"));
        m.setRowCount(-5);
        QCOMPARE(m.rowCount(), 0);
    }

    void sortIsStableWithTextlessRowsLast() {
        TTableModel m;
        m.setHeaders({"key", "tag"});
        m.setRowCount(4);
        // Logs the signals in order; at the report, the tags as they now stand and the order.
        QStringList log;
        connect(&m, &QAbstractItemModel::layoutAboutToBeChanged, [&] { log << "about"; });
        connect(&m, &QAbstractItemModel::layoutChanged, [&] { log << "changed"; });
        connect(&m, &TTableModel::sortRowOrderChanged, [&](const QList<int>& order) {
            QStringList tags = texts(m, 1);
            for (int row = 0; row < m.rowCount(); ++row)
                tags[row] += "," + QString::number(order[row]);
            log << tags.join(',');
        });
        for (int column : {0, 2, -1})  // no texts to sort by, no such column
            m.sort(column);
        const QVariant keys[] = {str("b"), item(TPixmapItem()), str("a"),
                                 item(TIconWithStringItem(QIcon(), "b"))};
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            for (int row = 0; row < 4; ++row) {
                m.setData(m.index(row, 0), keys[row]);
                m.setData(m.index(row, 1), str(QString::number(row)));
            }
            m.sort(0, order);
        }
        QCOMPARE(log, (QStringList{"about", "changed", "2,2,0,0,3,3,1,1",  //
                                   "about", "changed", "0,0,3,3,2,2,1,1"}));
    }

    void setItemGrowsRowsRefusesBadCellsAndClicksReportCells() {
        TTableView v;
        v.setItem(0, 0, QString("no headers yet"));
        QCOMPARE(v.rowCount(), 0);
        v.horizontalHeader()->setDefaultSectionSize(150);
        v.setHeaders({"A", "B"});
        v.setColumnWidths({125, 9999, 40});  // wider than the header: from a larger window
        QCOMPARE(v.columnWidths(), (QList<int>{125, 150}));
        QSignalSpy changed(&v, &TTableView::cellChanged);
        v.setItem(1, 0, QString("second"));  // (0, 1) stays unset
        v.setItem(5, 0, QString("five"));
        v.setItem(7, 2, QString("no such column"));
        v.setItem(-1, 0, QString("x"));
        v.setItem(INT_MAX, 0, QString("x"));
        QCOMPARE(v.rowCount(), 8);
        QCOMPARE(changed, (QList<QList<QVariant>>{{1, 0}, {5, 0}}));
        v.setItem(2, 0, QIcon(), QString("icon"));
        v.setItem(2, 1, 1, 2, QString("bar"));
        v.setItem(3, 1, QPixmap(4, 4));
        QCOMPARE(v.itemText(5, 0) + v.itemText(2, 0) + v.itemText(2, 1), QString("fiveiconbar"));
        QCOMPARE(v.itemText(3, 1) + v.itemText(7, 2) + v.itemText(99, 0), QString());
        v.removeRow(2);
        QCOMPARE(v.itemText(4, 0), QString("five"));
        QCOMPARE(v.itemDelegate()->createEditor(nullptr, {}, {}), nullptr);  // no editing

        v.resize(400, 400);
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QSignalSpy cells(&v, &TTableView::cellClicked);
        QSignalSpy items(&v, &TTableView::itemClicked);
        QSignalSpy currentCells(&v, &TTableView::currentCellChanged);
        QSignalSpy currentItems(&v, &TTableView::currentItemChanged);
        const QModelIndex before = v.currentIndex();
        for (const QModelIndex& index : {v.model()->index(0, 1), v.model()->index(1, 0)})
            QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, v.visualRect(index).center());
        QCOMPARE(cells, (QList<QList<QVariant>>{{0, 1}, {1, 0}}));
        QCOMPARE(currentCells.at(0), (QList<QVariant>{0, 1, before.row(), before.column()}));
        // Item signals only for the cell holding an item; the cell before it held none.
        QCOMPARE(items.size() + currentItems.size(), 2);
        QCOMPARE(cellItem<TStringItem>(items.at(0).at(0)).text(), QString("second"));
        QCOMPARE(cellItem<TStringItem>(currentItems.at(0).at(0)).text(), QString("second"));
        QVERIFY(!currentItems.at(0).at(1).isValid());
        QVERIFY(v.hasSelection());
        QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, QPoint(5, v.viewport()->height() - 5));
        QVERIFY(!v.hasSelection());  // a click below the rows
    }

    // By UTF-16 code units, no locale, no numbers. Equal keys keep their order: with this many
    // rows an unstable sort would swap some.
    void sortFollowsTheHeaderWhenEnabled() {
        const QString emoji = QString::fromUcs4(U"\U0001F600");  // a surrogate pair
        const QStringList keys = {"a", "9 GB", QString(QChar(0xFF21)), "Z", emoji, "10 GB"};
        TTableView v;
        v.setHeaders({"key", "tag"});
        for (int row = 0; row < 24; ++row) {
            v.setItem(row, 0, keys[row % 6]);
            v.setItem(row, 1, QString::number(row));
        }
        QSignalSpy orders(&v, &TTableView::sortRowOrderChanged);
        v.horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
        v.sort();
        QCOMPARE(orders.count(), 0);
        v.setSortingEnabled(true);
        QCOMPARE(texts(*v.model(), 1).join(','),
                 QString("5,11,17,23,1,7,13,19,3,9,15,21,0,6,12,18,4,10,16,22,2,8,14,20"));
        v.setItem(0, 0, QString("b"));  // changed data stays where it is, till the next sort
        v.sort();
        QCOMPARE(orders.last().first().value<QList<int>>().indexOf(0), 15);
    }

    void emptyTableShowsOnlyTheNotice() {
        TTableView v;
        v.setHeaders({"A", "B"});
        v.resize(400, 300);
        QImage image = v.grab().toImage();
        const QRect viewport = v.viewport()->geometry();
        const auto drawn = [&](const QImage& img) {  // all that differs from the background
            const QRgb base = img.pixel(viewport.topLeft() + QPoint(2, 2));
            return pixelBox(img, viewport, [&](const QColor& c) { return c.rgb() != base; });
        };
        const QRect ink = inkBox(image, viewport);
        QFont font;
        font.setPixelSize(16);
        const int width = QFontMetrics(font).horizontalAdvance("(No Devices Found.)");
        QVERIFY(qAbs(ink.width() - width) <= 3);
        // Centred on the whole view less 16 pixels at the bottom, not on the viewport.
        const QPoint centre = viewport.topLeft() + v.rect().adjusted(0, 0, 0, -16).center();
        QVERIFY(qAbs(ink.center().x() - centre.x()) <= 2);
        QVERIFY(qAbs(ink.center().y() - centre.y()) <= 3);
        QVERIFY(ink.adjusted(-1, -1, 1, 1).contains(drawn(image)));
        v.setItem(0, 0, QString("x"));
        image = v.grab().toImage();
        QVERIFY(inkBox(image, ink).isEmpty());
        QVERIFY(!ink.adjusted(-1, -1, 1, 1).contains(drawn(image)));  // the grid and the cell
    }

    void textCutsWithEllipsisBreaksLinesAndFollowsTheIcon() {
        const QString text(30, QLatin1Char('W'));  // wider than two lines of the cell
        // Behind the last column reaching the cap height (the last W) come three whole dots.
        const auto dotsAfterText = [](const QImage& img) {
            const QRect box = inkBox(img, img.rect());
            const QRect upper = inkBox(img, QRect(0, box.top(), img.width(), box.height() / 2));
            return inkRuns(img, QRect(upper.right() + 1, 0, img.width(), img.height()), false);
        };
        const QImage cut = paintCell(str(text), QSize(120, 24));
        QVERIFY(inkBox(cut, cut.rect()).right() <= 120 - 4);
        QCOMPARE(dotsAfterText(cut), 3);
        QCOMPARE(dotsAfterText(paintCell(str("WW"), QSize(120, 24))), 0);

        QSize hint;
        const QImage two = paintCell(str("first\nsecond"), QSize(150, 60), &hint);
        QCOMPARE(inkRuns(two, two.rect(), true), 2);
        QCOMPARE(hint, textSize("first\nsecond") + QSize(8, 4));
        const QImage one = paintCell(str("first second"), QSize(150, 60));
        QCOMPARE(inkRuns(one, one.rect(), true), 1);

        // An icon goes left of the text.
        QPixmap red(16, 16);
        red.fill(Qt::red);
        const QImage image =
            paintCell(item(TIconWithStringItem(QIcon(red), "Warn")), QSize(200, 30), &hint);
        QCOMPARE(hint, textSize("Warn") + QSize(8 + 16, 4 + 16));
        const QRect icon = pixelBox(
            image, image.rect(), [](const QColor& c) { return c.red() > 200 && c.green() < 80; });
        QVERIFY(icon.left() == 2 && icon.right() <= 15);
        QVERIFY(qAbs(icon.center().y() - 15) <= 1);
        const int textLeft = inkBox(image, QRect(16, 0, 184, 30)).left();
        QVERIFY(textLeft >= 16 + 4 && textLeft <= 16 + 4 + 2);
    }

    // On the device list's fixed light selection, red or green words would be unreadable:
    // a selected cell draws its words in one dark colour, unselected ones keep theirs.
    void selectedRichTextStaysReadable() {
        for (const bool selected : {false, true}) {
            const QImage image =
                paintCell(str("<b><font color=\"red\">RAID Degraded</font></b>\n"
                              "<font color=\"green\">Ready for Rebuild</font>"),
                          QSize(220, 40), nullptr,
                          QStyle::State_Enabled | QStyle::State_Active |
                              (selected ? QStyle::State_Selected : QStyle::State_None));
            const QRect red = pixelBox(image, image.rect(), [](const QColor& c) {
                return c.red() > 200 && c.green() < 80 && c.blue() < 80;
            });
            const QRect ink =
                pixelBox(image, image.rect(), [](const QColor& c) { return c.lightness() < 60; });
            QCOMPARE(red.isEmpty(), selected);
            QCOMPARE(ink.isEmpty(), !selected);
        }
    }

    void progressBars() {
        const QImage image = paintCell(item(TProgressbarItem{40, 80}), QSize(200, 40));
        const QStyleOptionProgressBar bar = recorder->bars.last();
        QCOMPARE(bar.rect, QRect(0, 9, 200, 21));
        QCOMPARE(bar.text, QString("50.0%"));
        // A share that whole percents cannot show.
        for (const auto& [progress, maximum, text] :
             {std::tuple{1, 3, "33.3%"}, {2, 3, "66.7%"}, {2501, 10000, "25.0%"}}) {
            paintCell(item(TProgressbarItem{progress, maximum}), QSize(100, 15));
            QCOMPARE(recorder->bars.last().text, QString(text));
        }
        const QRect chunk = pixelBox(image, QRect(0, bar.rect.top() + 3, 200, 1),
                                     [](const QColor& c) { return c.blue() > c.red() + 60; });
        QVERIFY2(qAbs(chunk.width() - 100) <= 6, qPrintable(QString::number(chunk.width())));

        paintCell(item(TProgressbarItem{5, 0}), QSize(100, 15));
        QCOMPARE(recorder->bars.last().rect, QRect(0, 0, 100, 15));
        QCOMPARE(recorder->bars.last().text, QString());

        // Bar over text, the pair centred in the cell.
        QSize hint;
        const QImage both = paintCell(item(TProgressbarWithStringItem(2500, 10000, "Rebuilding")),
                                      QSize(200, 70), &hint);
        QCOMPARE(hint, textSize("Rebuilding") + QSize(0, 21));
        const QRect barRect = recorder->bars.last().rect;
        const QRect text = inkBox(both, QRect(0, barRect.bottom() + 1, 200, 70));
        QVERIFY(qAbs(barRect.top() - (69 - text.bottom())) <= 4);
    }
};

QTEST_MAIN(TestWidgets)

#include "tst_widgets.moc"
