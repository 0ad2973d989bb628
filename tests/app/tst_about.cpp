#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QtTest>

#include "app/aboutdialog.h"

class AboutTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression("QObject::connect|connectSlotsByName")); }

    void aboutPictureCarriesTheVersion_data() {
        QTest::addColumn<int>("scale");
        QTest::newRow("1x") << 1;
        QTest::newRow("2x") << 2;
    }
    // Only the version text, white on its base line at (34, 417), changes the splash picture.
    void aboutPictureCarriesTheVersion() {
        QFETCH(int, scale);
        const QPixmap about = aboutPixmap(scale);
        QCOMPARE(about.deviceIndependentSize().toSize(), QSize(626, 437));
        const QImage plain = QPixmap(scale == 1 ? ":/splash_screen" : ":/splash_screen@2x")
                                 .toImage()
                                 .convertToFormat(QImage::Format_RGB32);
        const QImage image = about.toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(626, 437) * scale);
        QCOMPARE(plain.size(), image.size());
        const QFontMetrics metrics(QFont(QStringLiteral("Helvetica"), 8));
        const QRect text(34, 417 - metrics.ascent(), metrics.horizontalAdvance("Version 1.00") + 2,
                         metrics.height());
        int white = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor a = image.pixelColor(x, y);
                if (a == plain.pixelColor(x, y))
                    continue;
                QVERIFY2(text.contains(x / scale, y / scale),
                         qPrintable(QString("changed at %1,%2").arg(x).arg(y)));
                white += (a.red() > 200 && a.green() > 200 && a.blue() > 200) ? 1 : 0;
            }
        }
        QVERIFY(white > 20 * scale);
    }

    void popupShowsThePictureAndClosesOnClick() {
        QWidget window;
        window.show();
        QPixmap backdrop(626, 437);
        backdrop.fill(QColor(20, 40, 90));
        QPointer<AboutDialog> about = new AboutDialog(backdrop, &window);
        QVERIFY(about->windowFlags().testFlag(Qt::Popup));
        QCOMPARE(about->size(), QSize(626, 437));
        about->show();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        QCOMPARE(about->grab().toImage().pixelColor(313, 218), QColor(20, 40, 90));

        QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(100, 100));
        QTRY_VERIFY(about.isNull());
    }
};

int runAboutTests(int argc, char** argv) {
    AboutTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_about.moc"
