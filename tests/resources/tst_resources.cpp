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

QStringList pictureNames() {
    QStringList names;
    for (const std::string& model : corvane::sim::modelTexts()) {
        names << QString::fromStdString(model);
    }
    return names << QStringLiteral("warning") << QStringLiteral("splash_screen");
}

}  // namespace

class ResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { drlResourcesInit(); }

    void pictures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        for (const std::string& model : corvane::sim::modelTexts()) {
            QTest::newRow(model.c_str()) << QString::fromStdString(model) << QSize(175, 100);
        }
        QTest::newRow("warning") << QStringLiteral("warning") << QSize(32, 32);
        QTest::newRow("splash_screen") << QStringLiteral("splash_screen") << QSize(626, 437);
    }

    // Every picture in both renderings, loaded the way the windows load it.
    void pictures() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const QImage plain(":/" + name);
        QCOMPARE(plain.size(), size);
        checkDrawn(plain);
        const QImage sharp(":/" + name + "@2x");
        QCOMPARE(sharp.size(), size * 2);
        checkDrawn(sharp);

        const QPixmap atOne = drlPixmap(name, 1.0);
        QCOMPARE(atOne.size(), size);
        QCOMPARE(atOne.deviceIndependentSize(), QSizeF(size));
        const QPixmap atTwo = drlPixmap(name, 2.0);
        QCOMPARE(atTwo.size(), size * 2);
        QCOMPARE(atTwo.deviceIndependentSize(), QSizeF(size));
    }

    void unknownModelHasNoPicture() {
        QVERIFY(drlPixmap(QStringLiteral("VRXA-ZZ99"), 1.0).isNull());
        QVERIFY(drlPixmap(QStringLiteral("VRXA-ZZ99"), 2.0).isNull());
    }

    // The version text goes in white with its base line at (34, 417), about 80 px wide and
    // 11 px high in the about box's font; it must stand out from whatever lies under it.
    void splashCarriesWhiteText() {
        for (int scale : {1, 2}) {
            const QImage splash(scale == 1 ? ":/splash_screen" : ":/splash_screen@2x");
            QVERIFY(!splash.isNull());
            const QRect area(QPoint(30, 402) * scale, QPoint(150, 421) * scale);
            double brightest = 0;
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    brightest = std::max(brightest, luminance(splash.pixel(x, y)));
                }
            }
            const double contrast = 1.05 / (brightest + 0.05);
            QVERIFY2(contrast >= 7.0,
                     qPrintable(QString("contrast %1 at %2x").arg(contrast).arg(scale)));
        }
    }

    void appIcon() {
        QCOMPARE(QImage(":/drivelore-48.png").size(), QSize(48, 48));
        QCOMPARE(QImage(":/drivelore-256.png").size(), QSize(256, 256));
        checkDrawn(QImage(":/drivelore-48.png"));
        const QList<QSize> sizes = drlAppIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(48, 48)));
        QVERIFY(sizes.contains(QSize(256, 256)));
    }

    // Each picture in the resource is one some code loads: a model picture left behind
    // by a renamed model shows up here.
    void nothingElseCompiledIn() {
        QStringList expected{QStringLiteral("drivelore-48.png"),
                             QStringLiteral("drivelore-256.png")};
        for (const QString& name : pictureNames()) {
            expected << name << name + "@2x";
        }
        QStringList found = QDir(QStringLiteral(":/")).entryList(QDir::Files);
        expected.sort();
        found.sort();
        QCOMPARE(found, expected);
    }

    void initTwiceIsHarmless() {
        drlResourcesInit();
        QVERIFY(!drlPixmap(QStringLiteral("warning"), 1.0).isNull());
    }
};

QTEST_MAIN(ResourcesTest)
#include "tst_resources.moc"
