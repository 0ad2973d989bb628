#pragma once

#include <QItemDelegate>

// Paints and sizes the typed cells of tcellitems.h; any other content gets the base
// behaviour. Cells are never edited in place.
class TDelegate : public QItemDelegate {
public:
    explicit TDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
};
