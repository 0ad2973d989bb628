#include <QDir>
#include <QImage>
#include <QSet>
#include <QtTest>

#include "resources/pictures.h"
#include "sim/device_model.h"

namespace {

// Relative luminance as the contrast formulas define it.
double luminance(QRgb c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

// A picture that is mostly transparent or one flat colour has lost its drawing.
void checkDrawn(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    qint64 covered = 0;
    QSet<QRgb> colours;
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            if (qAlpha(line[x]) > 0) {
                ++covered;
                colours.insert(line[x]);
            }
        }
    }
    QVERIFY2(covered * 5 > qint64(argb.width()) * argb.height(), "less than a fifth covered");
    QVERIFY2(colours.size() > 16, "hardly any colours");
}

}  // namespace

class ResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { drlResourcesInit(); }

    void pictures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        for (const std::string& model : corvane::sim::modelTexts())
            QTest::newRow(model.c_str()) << QString::fromStdString(model) << QSize(175, 100);
        QTest::newRow("warning") << QStringLiteral("warning") << QSize(32, 32);
        QTest::newRow("splash_screen") << QStringLiteral("splash_screen") << QSize(626, 437);
        QTest::newRow("app icon, 48") << QStringLiteral("drivelore-48.png") << QSize(48, 48);
        QTest::newRow("app icon, 256") << QStringLiteral("drivelore-256.png") << QSize(256, 256);
    }
    // Every picture in both renderings, loaded the way the windows load it.
    void pictures() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const int scales = name.endsWith(".png") ? 1 : 2;  // the icon has one file a size
        for (int scale = 1; scale <= scales; ++scale) {
            const QPixmap pixmap = drlPixmap(name, scale);
            QCOMPARE(pixmap.size(), size * scale);
            QCOMPARE(pixmap.deviceIndependentSize(), QSizeF(size));
            checkDrawn(pixmap.toImage());
            if (name != "splash_screen")
                continue;
            // The about box's version text goes in white with its base line at (34, 417),
            // about 80 x 11 px: it must stand out from whatever lies under it.
            const QImage splash = pixmap.toImage();
            double brightest = 0;
            for (int y = 402 * scale; y <= 421 * scale; ++y) {
                for (int x = 30 * scale; x <= 150 * scale; ++x)
                    brightest = std::max(brightest, luminance(splash.pixel(x, y)));
            }
            QVERIFY2(1.05 / (brightest + 0.05) >= 7.0, "version text hard to read");
        }
        QVERIFY(drlPixmap(QStringLiteral("VRXA-ZZ99"), 2.0).isNull());
    }

    // Each picture in the resource is one some code loads: a model picture left behind
    // by a renamed model shows up here.
    void nothingElseCompiledIn() {
        QStringList expected{QStringLiteral("drivelore-48.png"),
                             QStringLiteral("drivelore-256.png")};
        QStringList names{QStringLiteral("warning"), QStringLiteral("splash_screen")};
        for (const std::string& model : corvane::sim::modelTexts())
            names << QString::fromStdString(model);
        for (const QString& name : names)
            expected << name << name + "@2x";
        QStringList found = QDir(QStringLiteral(":/")).entryList(QDir::Files);
        expected.sort();
        found.sort();
        QCOMPARE(found, expected);
        const QList<QSize> sizes = drlAppIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(48, 48)) && sizes.contains(QSize(256, 256)));
    }
};

QTEST_MAIN(ResourcesTest)
#include "tst_resources.moc"
