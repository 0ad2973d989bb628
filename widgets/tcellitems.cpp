#include "widgets/tcellitems.h"

struct TPixmapItem::Data : QSharedData {
    QPixmap pixmap;
};

TPixmapItem::TPixmapItem() : d(new Data) {}
TPixmapItem::TPixmapItem(const QPixmap& pixmap) : d(new Data) {
    d->pixmap = pixmap;
}
TPixmapItem::TPixmapItem(const TPixmapItem& other) = default;
TPixmapItem& TPixmapItem::operator=(const TPixmapItem& other) = default;
TPixmapItem::~TPixmapItem() = default;
QPixmap TPixmapItem::pixmap() const {
    return d->pixmap;
}

struct TStringItem::Data : QSharedData {
    QString text;
};

TStringItem::TStringItem() : d(new Data) {}
TStringItem::TStringItem(const QString& text) : d(new Data) {
    d->text = text;
}
TStringItem::TStringItem(const TStringItem& other) = default;
TStringItem& TStringItem::operator=(const TStringItem& other) = default;
TStringItem::~TStringItem() = default;
QString TStringItem::text() const {
    return d->text;
}

struct TIconWithStringItem::Data : QSharedData {
    QString text;
    QIcon icon;
};

TIconWithStringItem::TIconWithStringItem() : d(new Data) {}
TIconWithStringItem::TIconWithStringItem(const QIcon& icon, const QString& text) : d(new Data) {
    d->text = text;
    d->icon = icon;
}
TIconWithStringItem::TIconWithStringItem(const TIconWithStringItem& other) = default;
TIconWithStringItem& TIconWithStringItem::operator=(const TIconWithStringItem& other) = default;
TIconWithStringItem::~TIconWithStringItem() = default;
QString TIconWithStringItem::text() const {
    return d->text;
}
QIcon TIconWithStringItem::icon() const {
    return d->icon;
}

struct TProgressbarWithStringItem::Data : QSharedData {
    qint32 progress = 0;
    qint32 maximum = 100;
    QString text;
};

TProgressbarWithStringItem::TProgressbarWithStringItem() : d(new Data) {}
TProgressbarWithStringItem::TProgressbarWithStringItem(qint32 progress, qint32 maximum,
                                                       const QString& text)
    : d(new Data) {
    d->progress = progress;
    d->maximum = maximum;
    d->text = text;
}
TProgressbarWithStringItem::TProgressbarWithStringItem(const TProgressbarWithStringItem& other) =
    default;
TProgressbarWithStringItem& TProgressbarWithStringItem::operator=(
    const TProgressbarWithStringItem& other) = default;
TProgressbarWithStringItem::~TProgressbarWithStringItem() = default;
qint32 TProgressbarWithStringItem::progress() const {
    return d->progress;
}
qint32 TProgressbarWithStringItem::maximum() const {
    return d->maximum;
}
QString TProgressbarWithStringItem::text() const {
    return d->text;
}

bool cellItemText(const QVariant& v, QString& text) {
    if (isCellItem<TStringItem>(v)) {
        text = cellItem<TStringItem>(v).text();
    } else if (isCellItem<TIconWithStringItem>(v)) {
        text = cellItem<TIconWithStringItem>(v).text();
    } else if (isCellItem<TProgressbarWithStringItem>(v)) {
        text = cellItem<TProgressbarWithStringItem>(v).text();
    } else {
        return false;
    }
    return true;
}
