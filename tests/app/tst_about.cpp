#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QtTest>

#include "app/aboutdialog.h"

namespace {

const QColor kBackground(20, 40, 90);

QPixmap backdrop() {
    QPixmap p(626, 437);
    p.fill(kBackground);
    return p;
}

// Pixels within rect that are close to white.
int whitePixels(const QImage& image, const QRect& rect) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            n += (c.red() > 200 && c.green() > 200 && c.blue() > 200) ? 1 : 0;
        }
    }
    return n;
}

}  // namespace

class AboutTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression("QObject::connect|connectSlotsByName")); }
    void versionTextInWhiteOnItsBaseLine() {
        QFont font(QStringLiteral("Helvetica"), 8);
        const QPixmap drawn =
            drawTextOnPixmap(backdrop(), "Version 1.00", QPoint(34, 417), font, Qt::white);
        QCOMPARE(drawn.size(), QSize(626, 437));
        const QImage image = drawn.toImage();
        const int height = QFontMetrics(font).ascent();
        QVERIFY(whitePixels(image, QRect(34, 417 - height, 90, height + 1)) > 20);
        // Nothing left of the start, below the base line (no descenders) or far right.
        QCOMPARE(whitePixels(image, QRect(0, 380, 33, 57)), 0);
        QCOMPARE(whitePixels(image, QRect(0, 420, 626, 17)), 0);
        QCOMPARE(whitePixels(image, QRect(200, 0, 426, 437)), 0);
        QCOMPARE(image.pixelColor(300, 100), kBackground);
    }

    // Only the version text changes the splash picture, and only by brightening it.
    void aboutPictureCarriesTheVersion() {
        const QImage plain =
            QPixmap(":/splash_screen").toImage().convertToFormat(QImage::Format_RGB32);
        const QImage about = aboutPixmap().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(about.size(), QSize(626, 437));
        QCOMPARE(plain.size(), about.size());
        QFont font(QStringLiteral("Helvetica"), 8);
        const QFontMetrics metrics(font);
        const QRect text(34, 417 - metrics.ascent(), metrics.horizontalAdvance("Version 1.00") + 2,
                         metrics.height());
        int changed = 0;
        for (int y = 0; y < about.height(); ++y) {
            for (int x = 0; x < about.width(); ++x) {
                const QRgb a = about.pixel(x, y);
                const QRgb p = plain.pixel(x, y);
                if (a == p) {
                    continue;
                }
                QVERIFY2(text.contains(x, y),
                         qPrintable(QString("changed at %1,%2").arg(x).arg(y)));
                QVERIFY(qGray(a) > qGray(p));
                ++changed;
            }
        }
        QVERIFY(changed > 20);
    }

    void aboutPictureForHighDensityScreens() {
        const QPixmap sharp = aboutPixmap(2.0);
        QCOMPARE(sharp.size(), QSize(1252, 874));
        QCOMPARE(sharp.deviceIndependentSize().toSize(), QSize(626, 437));
        const QImage image = sharp.toImage();
        const int height = 2 * QFontMetrics(QFont(QStringLiteral("Helvetica"), 8)).ascent();
        QVERIFY(whitePixels(image, QRect(68, 834 - height, 180, height + 1)) > 40);
    }

    void missingPictureGivesNoPicture() {
        const QPixmap drawn =
            drawTextOnPixmap(QPixmap(), "Version 1.00", QPoint(34, 417), QFont(), Qt::white);
        QVERIFY(drawn.isNull());
    }

    void popupShowsThePictureAndClosesOnClick() {
        QWidget window;
        window.show();
        QPointer<AboutDialog> about = new AboutDialog(backdrop(), &window);
        QVERIFY(about->windowFlags().testFlag(Qt::Popup));
        QCOMPARE(about->size(), QSize(626, 437));
        about->show();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        const QImage shown = about->grab().toImage();
        QCOMPARE(shown.pixelColor(313, 218), kBackground);

        QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(100, 100));
        QTRY_VERIFY(about.isNull());
    }
};

int runAboutTests(int argc, char** argv) {
    AboutTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_about.moc"
