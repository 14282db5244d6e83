#ifndef THUMBNAILDELEGATE_H
#define THUMBNAILDELEGATE_H

#include <QStyledItemDelegate>

// Draws a thumbnail row with room for the whole icon box, whatever the
// picture's proportions and whether it is in yet. Every row is then as high
// as every other, so a list of thousands can take its row size from one
// row, and a picture arriving changes no row's size (which would lay the
// whole list out again). A row's tooltip says where its file is, the size
// the photo appears at and the file's size, so that two photos of one name
// (two camera folders, a phone's sent and received pictures) are told
// apart.
class ThumbnailDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // What a row holds besides its name and picture.
    enum Role {
        PathRole = Qt::UserRole + 1, // QString: the file's full path
        ShownRole,                   // QSize: the size the photo appears at, once known
    };

    ThumbnailDelegate(const QSize &box, QObject *parent);

    // The tooltip of a row: its path, then what is known of its size.
    static QString toolTip(const QModelIndex &index);

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;

private:
    QSize box;
};

#endif // THUMBNAILDELEGATE_H
