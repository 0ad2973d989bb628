#include <QtTest>
#include <cstring>
#include <limits>

#include "app/guitexts.h"

class TextsTest : public QObject {
    Q_OBJECT

private slots:
    void formatSize_data() {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("1000") << quint64(1000) << "1000 bytes";
        QTest::newRow("1001") << quint64(1001) << "1.0 KB";
        QTest::newRow("1999, truncated") << quint64(1999) << "1.9 KB";
        QTest::newRow("1000001") << quint64(1000001) << "1.0 MB";
        QTest::newRow("10^12") << quint64(1000000000000ull) << "1000.0 GB";
        QTest::newRow("2 TB drive") << quint64(2000398934016ull) << "2.0 TB";
        QTest::newRow("u64 max") << std::numeric_limits<quint64>::max() << "18446744.0 TB";
    }
    void formatSize() {
        QFETCH(quint64, bytes);
        QFETCH(QString, text);
        char buffer[32];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(::formatSize(buffer, sizeof buffer, bytes), int(text.size()));
        QCOMPARE(QString::fromLatin1(buffer), text);
        QCOMPARE(sizeText(bytes), text);
        // A short buffer is cut, never overrun; the full length is still returned.
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(::formatSize(buffer, 4, bytes), int(text.size()));
        QCOMPARE(QString::fromLatin1(buffer), text.left(3));
        QCOMPARE(buffer[4], 'x');
    }

    void formatGrouped_data() {
        QTest::addColumn<quint64>("value");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("zero") << quint64(0) << 128 << QByteArray("0");
        QTest::newRow("1000") << quint64(1000) << 128 << QByteArray("1,000");
        QTest::newRow("1234567") << quint64(1234567) << 128 << QByteArray("1,234,567");
        QTest::newRow("u64 max") << std::numeric_limits<quint64>::max() << 128
                                 << QByteArray("18,446,744,073,709,551,615");
        QTest::newRow("cut in 4 bytes") << quint64(12345) << 4 << QByteArray("12_");
        QTest::newRow("cut at a comma") << quint64(1000) << 5 << QByteArray("1,0_");
        QTest::newRow("last place is the marker") << quint64(1000) << 6 << QByteArray("1,00_");
        QTest::newRow("exact fit") << quint64(1000) << 7 << QByteArray("1,000");
        QTest::newRow("zero, 2 bytes") << quint64(0) << 2 << QByteArray("_");
        QTest::newRow("1 byte") << quint64(7) << 1 << QByteArray("");
    }
    void formatGrouped() {
        QFETCH(quint64, value);
        QFETCH(int, size);
        QFETCH(QByteArray, text);
        char buffer[160];
        std::memset(buffer, 'x', sizeof buffer);
        ::formatGrouped(buffer, size_t(size), value, '_');
        QCOMPARE(QByteArray(buffer), text);
        QCOMPARE(buffer[size], 'x');  // nothing past the given size
        ::formatGrouped(nullptr, 16, value, '_');
        ::formatGrouped(buffer + size, 0, value, '_');
        QCOMPARE(buffer[size], 'x');
    }

    // Rounded to the nearest minute; whole hours say no minutes.
    void timeLeft() {
        const std::pair<uint32_t, const char*> cases[] = {
            {59, "less than a minute left"}, {89, "about 1 min left"},
            {90, "about 2 min left"},        {3599, "about 1 h left"},
            {3660, "about 1 h 1 min left"},  {7169, "about 1 h 59 min left"}};
        for (const auto& [seconds, text] : cases)
            QCOMPARE(timeLeftText(seconds), QString::fromLatin1(text));
    }
};

int runTextsTests(int argc, char** argv) {
    TextsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_texts.moc"
