#include <QSignalSpy>
#include <QTest>
#include <climits>

#include "widgets/ttablemodel.h"

namespace {

QVariant str(const QString& text) {
    return QVariant::fromValue(TStringItem(text));
}

QString textAt(const TTableModel& m, int row, int column) {
    QString text;
    cellItemText(m.data(m.index(row, column)), text);
    return text;
}

// Reaches positions outside the table, as a stale index would.
struct Probe : TTableModel {
    using TTableModel::createIndex;
};

}  // namespace

class TestTableModel : public QObject {
    Q_OBJECT

private slots:
    void itemsTravelInVariantsByExactType() {
        const QVariant bar = QVariant::fromValue(TProgressbarWithStringItem(40, 80, "x"));
        QCOMPARE(QMetaType::fromName("TProgressbarWithStringItem"), bar.metaType());
        QCOMPARE(cellItem<TProgressbarWithStringItem>(bar).maximum(), 80);
        // No conversions: another item type or a plain string give defaults.
        QCOMPARE(cellItem<TStringItem>(bar).text(), QString());
        QCOMPARE(cellItem<TStringItem>(QVariant(QString("plain"))).text(), QString());
        QCOMPARE(cellItem<TProgressbarItem>(bar).maximum, 100);
    }

    void positionsOutsideTheTableAreRefused() {
        Probe m;
        QVERIFY(!m.insertRows(0, 3));  // no headers, so no cell could exist
        m.setHeaders({"A", "B"});
        m.setRowCount(1);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        for (auto [row, column] : {std::pair{1, 0}, {0, 2}, {-1, 0}}) {
            QVERIFY(!m.setData(m.createIndex(row, column), str("x")));
            QVERIFY(!m.data(m.createIndex(row, column)).isValid());
        }
        for (auto [row, count] : {std::pair{2, 1}, {-1, 1}, {0, 0}, {0, -2}, {0, INT_MAX}})
            QVERIFY(!m.insertRows(row, count));
        for (auto [row, count] : {std::pair{0, 2}, {-1, 1}, {0, 0}, {1, INT_MAX}})
            QVERIFY(!m.removeRows(row, count));
        QCOMPARE(m.rowCount(), 1);
        QCOMPARE(changed.count(), 0);

        // Any role writes and reads the cell itself.
        QVERIFY(m.setData(m.index(0, 1), str("tip"), Qt::ToolTipRole));
        QCOMPARE(changed.at(0).mid(0, 2), (QList<QVariant>{m.index(0, 1), m.index(0, 1)}));
        QCOMPARE(cellItem<TStringItem>(m.data(m.index(0, 1), Qt::ToolTipRole)).text(), "tip");
        QCOMPARE(m.headerData(1, Qt::Horizontal).toString(), QString("B"));
        QVERIFY(!m.headerData(2, Qt::Horizontal).isValid());
        QVERIFY(!m.headerData(0, Qt::Vertical).isValid());
        QVERIFY(!m.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }

    void rowsMoveWhole() {
        TTableModel m;
        m.setHeaders({"A", "B"});
        m.setRowCount(2);
        m.setData(m.index(1, 1), str("r1"));
        QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
        QVERIFY(m.insertRows(1, 2));
        QCOMPARE(inserted.at(0).mid(1), (QList<QVariant>{1, 2}));
        QCOMPARE(textAt(m, 3, 1), QString("r1"));
        QVERIFY(m.insertRows(m.rowCount(), 1));
        QVERIFY(m.removeRows(1, 2));
        QCOMPARE(m.rowCount(), 3);
        QCOMPARE(textAt(m, 1, 1), QString("r1"));
        m.setRowCount(-5);
        QCOMPARE(m.rowCount(), 0);
        QCOMPARE(m.columnCount(), 2);
    }

    void headerChangesKeepRowsAligned() {
        TTableModel m;
        QSignalSpy headers(&m, &QAbstractItemModel::headerDataChanged);
        m.setHeaders({"A", "B", "C"});
        QCOMPARE(headers.at(0), (QList<QVariant>{QVariant::fromValue(Qt::Horizontal), 0, 2}));
        m.setRowCount(2);
        m.setData(m.index(1, 0), str("a1"));
        m.setHeaders({"A", "B"});
        m.setHeaders({"A", "B", "C", "D"});
        QCOMPARE(m.rowCount(), 2);
        QCOMPARE(textAt(m, 1, 0), QString("a1"));
        m.clearAll();
        QCOMPARE(m.columnCount() + m.rowCount(), 0);
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
            QStringList tags, reported;
            for (int row = 0; row < m.rowCount(); ++row)
                tags << textAt(m, row, 1) << QString::number(order[row]);
            log << tags.join(',');
        });
        const QVariant keys[] = {str("b"), QVariant::fromValue(TPixmapItem()), str("a"),
                                 QVariant::fromValue(TIconWithStringItem(QIcon(), "b"))};
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            for (int row = 0; row < 4; ++row) {
                m.setData(m.index(row, 0), keys[row]);
                m.setData(m.index(row, 1), str(QString::number(row)));
            }
            m.sort(0, order);
        }
        QCOMPARE(log, (QStringList{"about", "changed", "2,2,0,0,3,3,1,1",  //
                                   "about", "changed", "0,0,3,3,2,2,1,1"}));

        log.clear();
        m.sort(2);
        m.sort(-1);
        for (int row = 0; row < 4; ++row)
            m.setData(m.index(row, 0), QVariant::fromValue(TProgressbarItem()));
        m.sort(0);
        QCOMPARE(log, QStringList());
    }

    void sortComparesCodeUnits() {
        const QString emoji = QString::fromUcs4(U"\U0001F600");  // a surrogate pair
        const QStringList texts = {"a", "9 GB", QString(QChar(0xFF21)), "Z", emoji, "10 GB"};
        TTableModel m;
        m.setHeaders({"A"});
        m.setRowCount(int(texts.size()));
        for (int row = 0; row < texts.size(); ++row)
            m.setData(m.index(row, 0), str(texts[row]));
        m.sort(0);
        QStringList sorted;
        for (int row = 0; row < m.rowCount(); ++row)
            sorted << textAt(m, row, 0);
        QCOMPARE(sorted, (QStringList{"10 GB", "9 GB", "Z", "a", emoji, QString(QChar(0xFF21))}));
    }
};

int runModelTests(int argc, char** argv) {
    TestTableModel tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_ttablemodel.moc"
