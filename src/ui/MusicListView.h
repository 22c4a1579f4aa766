#pragma once

// The music list: a tree view over MusicListModel that takes drops, draws a
// hint while the list has never held music, keeps the open albums, the
// selection and the scroll position across the model's resets, and answers
// the keys people expect (Delete removes the selected items, Space ticks).

#include <QSet>
#include <QStyledItemDelegate>
#include <QTreeView>

class MusicListModel;
class QMimeData;
class SYWanted;

class MusicListView : public QTreeView {
    Q_OBJECT
public:
    explicit MusicListView(MusicListModel& model, QWidget* parent = nullptr);

    // The selected rows (one index per row, column 0).
    QModelIndexList selectedRows() const;

Q_SIGNALS:
    void dropped(const QMimeData* mime);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void rememberState();
    void restoreState();
    void openModeEditors();

    MusicListModel& model_;
    // Kept across resets; only compared, never followed, so an item deleted
    // meanwhile does no harm.
    QSet<const SYWanted*> expanded_;
    QList<const SYWanted*> selected_;
    const SYWanted* current_ = nullptr;
    int scroll_ = 0;
};

// The "mode" pop-up of playlist rows, with the "Mode" menu's two choices.
class ModeDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
};

// The "remove" toggle of root rows: "REMOVE", or "DELETE" for a file found
// on the player.
class RemoveDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option, const QModelIndex& index) override;
};
