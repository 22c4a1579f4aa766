#include "MusicListView.h"

#include "MusicListModel.h"
#include "selection/Wanted.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

MusicListView::MusicListView(MusicListModel& model, QWidget* parent) : QTreeView(parent), model_(model) {
    setModel(&model);
    setObjectName(QStringLiteral("musicList"));
    setAccessibleName(QStringLiteral("Music list"));
    setUniformRowHeights(true);
    // The open/close arrows go beside the names, the check boxes stay first.
    setTreePosition(MusicListModel::NameColumn);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    setItemDelegateForColumn(MusicListModel::ModeColumn, new ModeDelegate(this));
    setItemDelegateForColumn(MusicListModel::RemoveColumn, new RemoveDelegate(this));

    QHeaderView* h = header();
    h->setStretchLastSection(false);
    h->setSectionResizeMode(MusicListModel::NameColumn, QHeaderView::Stretch);
    for (int c : {MusicListModel::CheckedColumn, MusicListModel::RemoveColumn}) h->setSectionResizeMode(c, QHeaderView::Fixed);
    const int em = fontMetrics().horizontalAdvance(u'M');
    setColumnWidth(MusicListModel::CheckedColumn, 2 * em + 4);
    setColumnWidth(MusicListModel::ArtistColumn, 11 * em);
    setColumnWidth(MusicListModel::TypeColumn, 5 * em);
    setColumnWidth(MusicListModel::SizeColumn, 6 * em);
    setColumnWidth(MusicListModel::StatusColumn, 10 * em);
    setColumnWidth(MusicListModel::ModeColumn, 10 * em);
    setColumnWidth(MusicListModel::RemoveColumn, 6 * em);
    h->setMinimumSectionSize(2 * em);

    connect(&model, &QAbstractItemModel::modelAboutToBeReset, this, &MusicListView::rememberState);
    connect(&model, &QAbstractItemModel::modelReset, this, &MusicListView::restoreState);
    connect(&model, &MusicListModel::statusTextsChanged, this, [this] {
        viewport()->update(columnViewportPosition(MusicListModel::StatusColumn), 0, columnWidth(MusicListModel::StatusColumn), viewport()->height());
    });
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) { expanded_.insert(model_.itemAt(i)); });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) { expanded_.remove(model_.itemAt(i)); });
}

QModelIndexList MusicListView::selectedRows() const { return selectionModel()->selectedRows(0); }

void MusicListView::rememberState() {
    selected_.clear();
    for (const QModelIndex& i : selectedRows()) selected_.append(model_.itemAt(i));
    current_ = model_.itemAt(currentIndex());
    scroll_ = verticalScrollBar()->value();
}

void MusicListView::restoreState() {
    QSet<const SYWanted*> still;
    for (const SYWanted* item : std::as_const(expanded_)) {
        QModelIndex i = model_.indexOf(item);
        if (!i.isValid()) continue;
        still.insert(item);
        setExpanded(i, true);
    }
    expanded_ = still;
    // One selection for all rows: selecting thousands one by one takes long.
    QItemSelection selection;
    for (const SYWanted* item : std::as_const(selected_)) {
        QModelIndex i = model_.indexOf(item);
        if (i.isValid()) selection.select(i, i.siblingAtColumn(MusicListModel::ColumnCount - 1));
    }
    if (!selection.isEmpty()) selectionModel()->select(selection, QItemSelectionModel::Select);
    if (QModelIndex c = model_.indexOf(current_); c.isValid()) selectionModel()->setCurrentIndex(c, QItemSelectionModel::NoUpdate);
    verticalScrollBar()->setValue(scroll_);
    openModeEditors();
}

void MusicListView::openModeEditors() {
    // Playlists sort first.
    for (int row = 0; row < model_.rowCount(); ++row) {
        QModelIndex i = model_.index(row, MusicListModel::ModeColumn);
        if (!model_.itemAt(i)->as<SYWantedPlaylist>()) break;
        openPersistentEditor(i);
    }
}

void MusicListView::dragEnterEvent(QDragEnterEvent* event) { event->acceptProposedAction(); }

void MusicListView::dragMoveEvent(QDragMoveEvent* event) { event->acceptProposedAction(); }

void MusicListView::dragLeaveEvent(QDragLeaveEvent* event) { event->accept(); }

void MusicListView::dropEvent(QDropEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
    Q_EMIT dropped(event->mimeData());
}

void MusicListView::paintEvent(QPaintEvent* event) {
    QTreeView::paintEvent(event);
    if (!model_.noMusic()) return;
    QPainter p(viewport());
    QFont f = font();
    f.setPointSize(20);
    p.setFont(f);
    p.setPen(QColor::fromRgbF(0.5, 0.5, 0.5, 1.0));
    QRect r = viewport()->rect();
    p.drawText(QRect(r.x(), r.y() + r.height() / 2 - 30, r.width(), r.height() / 2 + 30), Qt::AlignHCenter | Qt::AlignTop,
               QStringLiteral("Drag items from the library to here"));
}

void MusicListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) {
        model_.removeRows(selectedRows());
        return;
    }
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        QModelIndexList rows = selectedRows();
        if (rows.isEmpty() && currentIndex().isValid()) rows.append(currentIndex().siblingAtColumn(0));
        std::vector<const SYWanted*> items;
        for (const QModelIndex& i : rows) items.push_back(model_.itemAt(i));
        // Each tick redraws rows, so the rows are found again by item.
        for (const SYWanted* item : items) model_.toggleChecked(model_.indexOf(item));
        return;
    }
    QTreeView::keyPressEvent(event);
}

void MusicListView::changeEvent(QEvent* event) {
    // The list is drawn in its active or inactive look.
    if (event->type() == QEvent::ActivationChange) viewport()->update();
    QTreeView::changeEvent(event);
}

// ---- the pop-up and the toggle ----

QWidget* ModeDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
    auto* box = new QComboBox(parent);
    box->setAccessibleName(QStringLiteral("Mode"));
    box->addItems({QStringLiteral("As playlist"), QStringLiteral("As albums")});
    connect(box, &QComboBox::activated, this, [this, box] { Q_EMIT const_cast<ModeDelegate*>(this)->commitData(box); });
    return box;
}

QSize ModeDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // Rows are as high as the pop-up, which sits in the first rows.
    static const int height = QComboBox().sizeHint().height();
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    return {size.width(), std::max(size.height(), height)};
}

void ModeDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    static_cast<QComboBox*>(editor)->setCurrentIndex(index.data(Qt::EditRole).toInt());
}

void ModeDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    int mode = static_cast<QComboBox*>(editor)->currentIndex();
    if (mode != index.data(Qt::EditRole).toInt()) model->setData(index, mode, Qt::EditRole);
}

void RemoveDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // The row's background alone. Not QStyledItemDelegate::paint with no
    // index: it keeps the data of the last cell the delegate was asked about
    // (a root row's, by sizeHint) and drew its "REMOVE", greyed, on tracks.
    const QWidget* w = option.widget;
    QStyle* style = w ? w->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, painter, w);
    QString text = index.data().toString();
    if (text.isEmpty()) return;
    QStyleOptionButton button;
    button.rect = option.rect.adjusted(2, 1, -2, -1);
    button.text = text;
    button.state = QStyle::State_Enabled | (index.data(MusicListModel::RemoveRole).toBool() ? QStyle::State_On | QStyle::State_Sunken : QStyle::State_Off);
    button.fontMetrics = option.fontMetrics;
    QFont f = option.font;
    f.setPointSizeF(std::max(6.0, f.pointSizeF() - 2));
    painter->save();
    painter->setFont(f);
    style->drawControl(QStyle::CE_PushButton, &button, painter, w);
    painter->restore();
}


bool RemoveDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::MouseButtonRelease || index.data().toString().isEmpty()) return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton || !option.rect.contains(mouse->position().toPoint())) return false;
    // After this event: the press may remove the row it was made on.
    QPersistentModelIndex row(index);
    QTimer::singleShot(0, model, [model, row] {
        if (row.isValid()) model->setData(row, true, MusicListModel::RemoveRole);
    });
    return true;
}
