#include "widgets/ttablemodel.h"

#include <algorithm>
#include <climits>

TTableModel::TTableModel(QObject* parent) : QAbstractTableModel(parent) {}

TTableModel::~TTableModel() = default;

int TTableModel::rowCount(const QModelIndex&) const {
    const int columns = columnCount();
    return columns == 0 ? 0 : int(cells_.size() / columns);
}

int TTableModel::columnCount(const QModelIndex&) const {
    return int(headers_.size());
}

QVariant TTableModel::data(const QModelIndex& index, int) const {
    const int cell = cellIndex(index.row(), index.column());
    return cell < 0 ? QVariant() : cells_.at(cell);
}

bool TTableModel::setData(const QModelIndex& index, const QVariant& value, int) {
    const int cell = cellIndex(index.row(), index.column());
    if (cell < 0)
        return false;
    cells_[cell] = value;
    emit dataChanged(index, index);
    return true;
}

QVariant TTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= columnCount())
        return QVariant();
    return headers_.at(section);
}

bool TTableModel::insertRows(int row, int count, const QModelIndex&) {
    const int columns = columnCount();
    // Without columns no cell could be stored: announcing rows the model then does not
    // have would leave attached views with phantom rows. The cell count must also stay
    // within the int positions that cellIndex hands out.
    if (columns == 0 || count < 1 || row < 0 || row > rowCount() ||
        (qint64(rowCount()) + count) * columns > INT_MAX)
        return false;
    beginInsertRows(QModelIndex(), row, row + count - 1);
    cells_.insert(qsizetype(columns) * row, qsizetype(columns) * count, QVariant());
    endInsertRows();
    return true;
}

bool TTableModel::removeRows(int row, int count, const QModelIndex&) {
    if (count < 1 || row < 0 || qint64(row) + count > rowCount())
        return false;
    const int columns = columnCount();
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    cells_.remove(qsizetype(columns) * row, qsizetype(columns) * count);
    endRemoveRows();
    return true;
}

void TTableModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= columnCount())
        return;

    struct Key {
        QString text;
        int row;
    };
    QVector<Key> keys;
    QList<int> rest;
    const int rows = rowCount();
    for (int row = 0; row < rows; ++row) {
        QString text;
        if (cellItemText(cells_.at(cellIndex(row, column)), text))
            keys.append({text, row});
        else
            rest.append(row);
    }
    if (keys.isEmpty())
        return;

    // Plain QString ordering: UTF-16 code units, no locale, no numbers.
    if (order == Qt::AscendingOrder)
        std::stable_sort(keys.begin(), keys.end(),
                         [](const Key& a, const Key& b) { return a.text < b.text; });
    else
        std::stable_sort(keys.begin(), keys.end(),
                         [](const Key& a, const Key& b) { return b.text < a.text; });

    QList<int> newOrder;
    newOrder.reserve(rows);
    for (const Key& key : keys)
        newOrder.append(key.row);
    newOrder.append(rest);

    emit layoutAboutToBeChanged();
    const int columns = columnCount();
    QVector<QVariant> sorted;
    sorted.reserve(cells_.size());
    for (int oldRow : newOrder)
        for (int c = 0; c < columns; ++c)
            sorted.append(cells_.at(cellIndex(oldRow, c)));
    cells_.swap(sorted);
    emit layoutChanged();
    emit sortRowOrderChanged(newOrder);
}

void TTableModel::setHeaders(const QStringList& headers) {
    const int oldColumns = columnCount();
    const int newColumns = int(headers.size());
    if (oldColumns == newColumns || cells_.isEmpty()) {
        headers_ = headers;
    } else {
        // Rows already stored would be re-cut at the new width and scramble their cells:
        // each row keeps its leading cells instead, and views start over.
        beginResetModel();
        int rows = rowCount();
        if (newColumns == 0)
            rows = 0;
        else
            rows = int(std::min<qint64>(rows, INT_MAX / newColumns));
        QVector<QVariant> reshaped(qsizetype(rows) * newColumns);
        const int kept = std::min(oldColumns, newColumns);
        for (int row = 0; row < rows; ++row)
            for (int c = 0; c < kept; ++c)
                reshaped[qsizetype(row) * newColumns + c] = cells_.at(cellIndex(row, c));
        cells_.swap(reshaped);
        headers_ = headers;
        endResetModel();
    }
    emit headerDataChanged(Qt::Horizontal, 0, newColumns - 1);
}

void TTableModel::setRowCount(int rows) {
    rows = std::max(rows, 0);
    const int current = rowCount();
    if (rows > current)
        insertRows(current, rows - current);
    else if (rows < current)
        removeRows(rows, current - rows);
}

void TTableModel::clearAll() {
    beginResetModel();
    headers_.clear();
    cells_.clear();
    endResetModel();
}

int TTableModel::cellIndex(int row, int column) const {
    if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return -1;
    return columnCount() * row + column;
}
