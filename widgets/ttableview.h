#pragma once

#include <QIcon>
#include <QItemSelectionModel>
#include <QList>
#include <QModelIndexList>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <QVariant>

#include "widgets/ttablemodel.h"

// The table of typed cells used by the device list and the drive table. It owns its
// model, paints a notice instead of an empty grid, and re-publishes the index-based view
// signals as cell values and (row, column) pairs.
class TTableView : public QTableView {
    Q_OBJECT

public:
    explicit TTableView(QWidget* parent = nullptr);
    ~TTableView() override;

    void setHeaders(const QStringList& headers);
    // Grows the table to reach row; the cell stays unset when column has no header.
    void setItem(int row, int column, const QVariant& item);
    void setItem(int row, int column, const QPixmap& pixmap);
    void setItem(int row, int column, const QString& text);
    void setItem(int row, int column, const QIcon& icon, const QString& text);
    void setItem(int row, int column, qint32 progress, qint32 maximum, const QString& text);
    // Empty for cells without text.
    QString itemText(int row, int column) const;

    int rowCount() const;
    bool hasSelection() const;
    QModelIndexList selectedRows() const;
    QList<int> columnWidths() const;
    // Widths larger than the whole header are skipped: they come from saved settings and
    // may stem from a larger window.
    void setColumnWidths(const QList<int>& widths);
    void setRowsResizeToContents();
    // The notice painted while the table has no rows; the device list's by default.
    void setEmptyText(const QString& text);
    QString emptyText() const;

signals:
    void itemPressed(const QVariant& item);
    void cellPressed(qint32 row, qint32 column);
    void itemClicked(const QVariant& item);
    void cellClicked(qint32 row, qint32 column);
    void itemDoubleClicked(const QVariant& item);
    void cellDoubleClicked(qint32 row, qint32 column);
    void itemActivated(const QVariant& item);
    void cellActivated(qint32 row, qint32 column);
    void itemEntered(const QVariant& item);
    void cellEntered(qint32 row, qint32 column);
    void itemChanged(const QVariant& item);
    void cellChanged(qint32 row, qint32 column);
    void currentItemChanged(const QVariant& current, const QVariant& previous);
    void currentCellChanged(qint32 currentRow, qint32 currentColumn, qint32 previousRow,
                            qint32 previousColumn);
    void itemSelectionChanged();
    void sortRowOrderChanged(const QList<int>& order);

public slots:
    void clear();
    void clearAllRows();
    void removeColumn(qint32 column);
    void removeRow(qint32 row);
    void sortdataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight);
    void sort();
    void emitItemPressed(const QModelIndex& index);
    void emitItemClicked(const QModelIndex& index);
    void emitItemDoubleClicked(const QModelIndex& index);
    void emitItemActivated(const QModelIndex& index);
    void emitItemEntered(const QModelIndex& index);
    void emitItemChanged(const QModelIndex& index);
    void emitCurrentItemChanged(const QModelIndex& current, const QModelIndex& previous);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    TTableModel model_;
    QItemSelectionModel* selection_;
    QString emptyText_;
};
