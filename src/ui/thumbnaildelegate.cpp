#include "ui/thumbnaildelegate.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLocale>
#include <QToolTip>

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

QString ThumbnailDelegate::toolTip(const QModelIndex &index)
{
    const QString path = index.data(PathRole).toString();
    if (path.isEmpty())
        return QString();
    // Asked when the pointer rests on the row: one stat, not one per row.
    QStringList size;
    const QSize shown = index.data(ShownRole).toSize();
    if (shown.isValid())
        size << tr("%1 × %2 pixels").arg(shown.width()).arg(shown.height());
    const QFileInfo file(path);
    if (file.isFile())
        size << QLocale().formattedDataSize(file.size(), 1, QLocale::DataSizeTraditionalFormat);
    return size.isEmpty() ? path : path + QLatin1Char('\n') + size.join(QStringLiteral(", "));
}

bool ThumbnailDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                  const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() == QEvent::ToolTip && index.isValid()) {
        const QString text = toolTip(index);
        if (!text.isEmpty()) {
            QToolTip::showText(event->globalPos(), text, view, option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}
