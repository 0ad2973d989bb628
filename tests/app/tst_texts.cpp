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
        QTest::newRow("zero") << quint64(0) << "0 bytes";
        QTest::newRow("1000") << quint64(1000) << "1000 bytes";
        QTest::newRow("1001") << quint64(1001) << "1.0 KB";
        QTest::newRow("1999, truncated") << quint64(1999) << "1.9 KB";
        QTest::newRow("1000000") << quint64(1000000) << "1000.0 KB";
        QTest::newRow("1000001") << quint64(1000001) << "1.0 MB";
        QTest::newRow("1999999999") << quint64(1999999999) << "1.9 GB";
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
    }

    void formatSizeStaysInItsBuffer() {
        char buffer[8];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(::formatSize(buffer, 4, 2000398934016ull), 6);
        QCOMPARE(QByteArray(buffer), QByteArray("2.0"));
        QCOMPARE(buffer[4], 'x');
    }

    void formatGrouped_data() {
        QTest::addColumn<quint64>("value");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("zero") << quint64(0) << 128 << QByteArray("0");
        QTest::newRow("999") << quint64(999) << 128 << QByteArray("999");
        QTest::newRow("1000") << quint64(1000) << 128 << QByteArray("1,000");
        QTest::newRow("1234567") << quint64(1234567) << 128 << QByteArray("1,234,567");
        QTest::newRow("u64 max") << std::numeric_limits<quint64>::max() << 128
                                 << QByteArray("18,446,744,073,709,551,615");
        QTest::newRow("cut in 4 bytes") << quint64(12345) << 4 << QByteArray("12_");
        QTest::newRow("cut at a comma") << quint64(1000) << 5 << QByteArray("1,0_");
        QTest::newRow("last place is the marker") << quint64(1000) << 6 << QByteArray("1,00_");
        QTest::newRow("one more byte") << quint64(1000) << 7 << QByteArray("1,000");
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
    }

    void formatGroupedLeavesNullOrEmptyAlone() {
        ::formatGrouped(nullptr, 16, 5, '_');
        char c = 'x';
        ::formatGrouped(&c, 0, 5, '_');
        QCOMPARE(c, 'x');
    }

    void operations_data() {
        QTest::addColumn<uint>("code");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("wait");
        QTest::newRow("0") << 0u << "Unknown"
                           << "Unknown";
        QTest::newRow("1") << 1u << "Get Device Information"
                           << "Getting device information... Please wait.";
        QTest::newRow("2") << 2u << "Get Drive Information"
                           << "Getting drive information... Please wait.";
        QTest::newRow("3") << 3u << "Unknown"
                           << "Unknown";
        QTest::newRow("4") << 4u << "Get Progress"
                           << "Getting progress... Please wait.";
        QTest::newRow("5") << 5u << "RAID Initialization"
                           << "Initializing RAID... Please wait.";
        QTest::newRow("6") << 6u << "RAID Rebuild"
                           << "Rebuilding RAID... Please wait.";
        QTest::newRow("7") << 7u << "Unknown"
                           << "Unknown";
    }
    void operations() {
        QFETCH(uint, code);
        QFETCH(QString, name);
        QFETCH(QString, wait);
        QCOMPARE(operationName(code), name);
        QCOMPARE(operationWaitText(code), wait);
    }

    void phases() {
        const QStringList expected{"Unknown", "Preparing",      "Progressing", "Completed",
                                   "Failed",  "Disk Too Small", "Unknown"};
        for (int phase = 0; phase < expected.size(); ++phase) {
            QCOMPARE(phaseText(uint32_t(phase)), expected[phase]);
        }
    }

    void colours() {
        QCOMPARE(redText("a\nb"), QString("<font color=\"red\">a\nb</font>"));
        QCOMPARE(boldRedText("x"), QString("<b><font color=\"red\">x</font></b>"));
        QCOMPARE(greenText("ok"), QString("<font color=\"green\">ok</font>"));
    }
};

int runTextsTests(int argc, char** argv) {
    TextsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_texts.moc"
