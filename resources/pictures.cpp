#include "resources/pictures.h"

// Q_INIT_RESOURCE declares a function, which must not sit inside a namespace.
static void initPictures() {
    Q_INIT_RESOURCE(drl_pictures);
}

void drlResourcesInit() {
    initPictures();
}

QPixmap drlPixmap(const QString& name, qreal devicePixelRatio) {
    const QString path = QStringLiteral(":/") + name;
    if (devicePixelRatio > 1.0) {
        QPixmap sharp(path + QStringLiteral("@2x"));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QPixmap(path);
}

QIcon drlAppIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/drivelore-48.png"), QSize(48, 48));
    icon.addFile(QStringLiteral(":/drivelore-256.png"), QSize(256, 256));
    return icon;
}
