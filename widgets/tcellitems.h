#pragma once

#include <QIcon>
#include <QMetaType>
#include <QPixmap>
#include <QSharedDataPointer>
#include <QString>
#include <QVariant>

// Typed table cells. All but TProgressbarItem are implicitly shared: a copy shares one
// reference-counted record, so cells copied out of the model for painting, sizing and
// sorting cost a pointer and a count.

class TPixmapItem {
public:
    TPixmapItem();
    explicit TPixmapItem(const QPixmap& pixmap);
    TPixmapItem(const TPixmapItem& other);
    TPixmapItem& operator=(const TPixmapItem& other);
    ~TPixmapItem();

    QPixmap pixmap() const;

private:
    struct Data;
    QSharedDataPointer<Data> d;
};

class TStringItem {
public:
    TStringItem();
    explicit TStringItem(const QString& text);
    TStringItem(const TStringItem& other);
    TStringItem& operator=(const TStringItem& other);
    ~TStringItem();

    QString text() const;

private:
    struct Data;
    QSharedDataPointer<Data> d;
};

class TIconWithStringItem {
public:
    TIconWithStringItem();
    TIconWithStringItem(const QIcon& icon, const QString& text);
    TIconWithStringItem(const TIconWithStringItem& other);
    TIconWithStringItem& operator=(const TIconWithStringItem& other);
    ~TIconWithStringItem();

    QString text() const;
    QIcon icon() const;

private:
    struct Data;
    QSharedDataPointer<Data> d;
};

class TProgressbarWithStringItem {
public:
    TProgressbarWithStringItem();
    TProgressbarWithStringItem(qint32 progress, qint32 maximum, const QString& text);
    TProgressbarWithStringItem(const TProgressbarWithStringItem& other);
    TProgressbarWithStringItem& operator=(const TProgressbarWithStringItem& other);
    ~TProgressbarWithStringItem();

    qint32 progress() const;
    qint32 maximum() const;
    QString text() const;

private:
    struct Data;
    QSharedDataPointer<Data> d;
};

// A bare bar without text; small enough to be a plain value.
struct TProgressbarItem {
    qint32 progress = 0;
    qint32 maximum = 100;
};

Q_DECLARE_METATYPE(TPixmapItem)
Q_DECLARE_METATYPE(TStringItem)
Q_DECLARE_METATYPE(TIconWithStringItem)
Q_DECLARE_METATYPE(TProgressbarWithStringItem)
Q_DECLARE_METATYPE(TProgressbarItem)

// Exact type only: QVariant::value<T>() would try registered conversions, and a cell of
// one item type must never be read as another.
template <typename T>
bool isCellItem(const QVariant& v) {
    return v.metaType() == QMetaType::fromType<T>();
}

template <typename T>
T cellItem(const QVariant& v) {
    return isCellItem<T>(v) ? *static_cast<const T*>(v.constData()) : T();
}

// The text of a string, icon-with-string or progress-with-string cell. Returns false for
// any other content, leaving text untouched.
bool cellItemText(const QVariant& v, QString& text);
