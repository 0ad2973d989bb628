#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include "widgets/tcellitems.h"

// A flat table of typed cells (see tcellitems.h) whose columns are its header texts.
// Cells live row-major in one vector; a cell never set holds an invalid variant.
class TTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit TTableModel(QObject* parent = nullptr);
    ~TTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // Every role answers with the cell itself.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool insertRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    // Stable sort on the text of string-like cells; rows without such a text go last in
    // their previous order. Reports the permutation with sortRowOrderChanged.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    void setHeaders(const QStringList& headers);
    void setRowCount(int rows);
    void clearAll();
    // Position of (row, column) in the cell vector, or -1 outside the table.
    int cellIndex(int row, int column) const;

signals:
    // order[r] is the position, before the sort, of the row now at r.
    void sortRowOrderChanged(const QList<int>& order);

private:
    QStringList headers_;
    QVector<QVariant> cells_;
};
