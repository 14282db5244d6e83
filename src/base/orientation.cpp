#include "base/orientation.h"

#include <QColorSpace>
#include <QTransform>

QImage Orientation::applied(const QImage &image, QImageIOHandler::Transformations turn)
{
    if (image.isNull() || turn == QImageIOHandler::TransformationNone)
        return image;
    // Mirror and flip first, then a quarter turn clockwise, as Qt's readers
    // do; 270 degrees is a turn of its own.
    QImage result;
    if (turn == QImageIOHandler::TransformationRotate270) {
        result = image.transformed(QTransform().rotate(270));
    } else {
        result = image.mirrored(turn.testFlag(QImageIOHandler::TransformationMirror),
                                turn.testFlag(QImageIOHandler::TransformationFlip));
        if (turn.testFlag(QImageIOHandler::TransformationRotate90))
            result = result.transformed(QTransform().rotate(90));
    }
    // Qt 6.4 drops the colour space in a quarter turn.
    result.setColorSpace(image.colorSpace());
    return result;
}

QImageIOHandler::Transformations Orientation::fromExifTag(long tag)
{
    switch (tag) {
    case 2: return QImageIOHandler::TransformationMirror;
    case 3: return QImageIOHandler::TransformationRotate180;
    case 4: return QImageIOHandler::TransformationFlip;
    case 5: return QImageIOHandler::TransformationFlipAndRotate90;
    case 6: return QImageIOHandler::TransformationRotate90;
    case 7: return QImageIOHandler::TransformationMirrorAndRotate90;
    case 8: return QImageIOHandler::TransformationRotate270;
    default: return QImageIOHandler::TransformationNone;
    }
}
