#ifndef THUMBNAILDELEGATE_H
#define THUMBNAILDELEGATE_H

#include <QStyledItemDelegate>

// Draws a thumbnail row with room for the whole icon box, whatever the
// picture's proportions and whether it is in yet. Every row is then as high
// as every other, so a list of thousands can take its row size from one
// row, and a picture arriving changes no row's size (which would lay the
// whole list out again).
class ThumbnailDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    ThumbnailDelegate(const QSize &box, QObject *parent);

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;

private:
    QSize box;
};

#endif // THUMBNAILDELEGATE_H
