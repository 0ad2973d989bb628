#include "widgets/ttableview.h"

#include <climits>

#include <QFont>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>

#include "widgets/tdelegate.h"

TTableView::TTableView(QWidget* parent)
    : QTableView(parent), selection_(nullptr), emptyText_(tr("(No Devices Found.)")) {
    setItemDelegate(new TDelegate(this));
    setModel(&model_);
    // setModel made a selection model of its own; ours replaces it for the view's life.
    QItemSelectionModel* implicit = selectionModel();
    selection_ = new QItemSelectionModel(&model_, this);
    setSelectionModel(selection_);
    delete implicit;

    connect(this, &QAbstractItemView::pressed, this, &TTableView::emitItemPressed);
    connect(this, &QAbstractItemView::clicked, this, &TTableView::emitItemClicked);
    connect(this, &QAbstractItemView::doubleClicked, this, &TTableView::emitItemDoubleClicked);
    connect(this, &QAbstractItemView::activated, this, &TTableView::emitItemActivated);
    connect(this, &QAbstractItemView::entered, this, &TTableView::emitItemEntered);
    connect(&model_, &QAbstractItemModel::dataChanged, this, &TTableView::emitItemChanged);
    connect(selection_, &QItemSelectionModel::currentChanged, this,
            &TTableView::emitCurrentItemChanged);
    connect(selection_, &QItemSelectionModel::selectionChanged, this,
            &TTableView::itemSelectionChanged);
    connect(&model_, &QAbstractItemModel::dataChanged, this, &TTableView::sortdataChanged);
    connect(&model_, &QAbstractItemModel::columnsRemoved, this, &TTableView::sort);
    connect(&model_, &TTableModel::sortRowOrderChanged, this, &TTableView::sortRowOrderChanged);
}

TTableView::~TTableView() = default;

void TTableView::setHeaders(const QStringList& headers) {
    model_.setHeaders(headers);
}

void TTableView::setItem(int row, int column, const QVariant& item) {
    if (row >= model_.rowCount() && row < INT_MAX)
        model_.setRowCount(row + 1);
    model_.setData(model_.index(row, column), item, Qt::EditRole);
}

void TTableView::setItem(int row, int column, const QPixmap& pixmap) {
    setItem(row, column, QVariant::fromValue(TPixmapItem(pixmap)));
}

void TTableView::setItem(int row, int column, const QString& text) {
    setItem(row, column, QVariant::fromValue(TStringItem(text)));
}

void TTableView::setItem(int row, int column, const QIcon& icon, const QString& text) {
    setItem(row, column, QVariant::fromValue(TIconWithStringItem(icon, text)));
}

void TTableView::setItem(int row, int column, qint32 progress, qint32 maximum,
                         const QString& text) {
    setItem(row, column, QVariant::fromValue(TProgressbarWithStringItem(progress, maximum, text)));
}

QString TTableView::itemText(int row, int column) const {
    QString text;
    cellItemText(model_.data(model_.index(row, column)), text);
    return text;
}

int TTableView::rowCount() const {
    return model_.rowCount();
}

bool TTableView::hasSelection() const {
    return selection_->hasSelection();
}

QModelIndexList TTableView::selectedRows() const {
    return selection_->selectedRows(0);
}

QList<int> TTableView::columnWidths() const {
    const QHeaderView* header = horizontalHeader();
    QList<int> widths;
    for (int section = 0; section < header->count(); ++section)
        widths.append(header->sectionSize(section));
    return widths;
}

void TTableView::setColumnWidths(const QList<int>& widths) {
    QHeaderView* header = horizontalHeader();
    for (int i = 0; i < widths.size(); ++i)
        if (widths.at(i) <= header->length())
            header->resizeSection(i, widths.at(i));
}

void TTableView::setRowsResizeToContents() {
    verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

void TTableView::clear() {
    selection_->clear();
    model_.clearAll();
}

void TTableView::clearAllRows() {
    model_.setRowCount(0);
}

void TTableView::removeColumn(qint32) {}

void TTableView::removeRow(qint32 row) {
    model_.removeRows(row, 1);
}

// Changed cells stay where they are: re-sorting under the user's eyes would move rows
// while they are being read or selected.
void TTableView::sortdataChanged(const QModelIndex&, const QModelIndex&) {}

void TTableView::sort() {
    if (!isSortingEnabled())
        return;
    const QHeaderView* header = horizontalHeader();
    model_.sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
}

void TTableView::emitItemPressed(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemPressed(item);
    emit cellPressed(index.row(), index.column());
}

void TTableView::emitItemClicked(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemClicked(item);
    emit cellClicked(index.row(), index.column());
}

void TTableView::emitItemDoubleClicked(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemDoubleClicked(item);
    emit cellDoubleClicked(index.row(), index.column());
}

void TTableView::emitItemActivated(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemActivated(item);
    emit cellActivated(index.row(), index.column());
}

void TTableView::emitItemEntered(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemEntered(item);
    emit cellEntered(index.row(), index.column());
}

void TTableView::emitItemChanged(const QModelIndex& index) {
    const QVariant item = model_.data(index, Qt::DisplayRole);
    if (item.isValid())
        emit itemChanged(item);
    emit cellChanged(index.row(), index.column());
}

void TTableView::emitCurrentItemChanged(const QModelIndex& current, const QModelIndex& previous) {
    const QVariant currentItem = model_.data(current, Qt::DisplayRole);
    const QVariant previousItem = model_.data(previous, Qt::DisplayRole);
    if (currentItem.isValid())
        emit currentItemChanged(currentItem, previousItem);
    emit currentCellChanged(current.row(), current.column(), previous.row(), previous.column());
}

void TTableView::mouseReleaseEvent(QMouseEvent* event) {
    QTableView::mouseReleaseEvent(event);
    if (!indexAt(event->position().toPoint()).isValid())
        clearSelection();
}

void TTableView::setEmptyText(const QString& text) {
    emptyText_ = text;
    viewport()->update();
}

QString TTableView::emptyText() const {
    return emptyText_;
}

void TTableView::paintEvent(QPaintEvent* event) {
    if (model_.rowCount() > 0) {
        QTableView::paintEvent(event);
        return;
    }
    QPainter painter(viewport());
    QFont font;
    font.setPixelSize(16);
    painter.setFont(font);
    // The view's own rectangle, not the viewport's: the notice sits in the middle of the
    // whole table, header included, lifted a little off the bottom.
    painter.drawText(rect().adjusted(0, 0, 0, -16), Qt::AlignCenter, emptyText_);
}
