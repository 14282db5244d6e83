#include "ui/thumbnaildelegate.h"

ThumbnailDelegate::ThumbnailDelegate(const QSize &box, QObject *parent)
    : QStyledItemDelegate(parent), box(box)
{
}

void ThumbnailDelegate::initStyleOption(QStyleOptionViewItem *option,
                                        const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    // The icon is drawn centred in the box, at its own size.
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->decorationSize = box;
}
