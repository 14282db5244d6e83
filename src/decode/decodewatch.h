#ifndef DECODEWATCH_H
#define DECODEWATCH_H

#include <QImage>
#include <QStringList>

class QImageReader;

// Some decoders patch over damage instead of failing: a JPEG cut off part
// way decodes, with a warning from libjpeg only, into a picture whose lower
// part is grey. Qt passes such warnings to its message handler, so a
// DecodeWatch opened around a read collects the warnings that its own thread
// logs while it is open; reads on other threads are not mixed in. Scopes
// nest. The handler is installed once and passes every message on to the
// handler that was there before.
class DecodeWatch
{
public:
    DecodeWatch();
    ~DecodeWatch();
    DecodeWatch(const DecodeWatch &) = delete;
    DecodeWatch &operator=(const DecodeWatch &) = delete;

    // Why the decoder's warnings make the picture unusable, in plain words;
    // empty when they do not (or there were none).
    QString damage() const;

    // reader.read(), refusing a picture the decoder reported damaged. On
    // failure errorString, when given, says why in plain words.
    static QImage read(QImageReader &reader, QString *errorString);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context,
                       const QString &message);

    QStringList seen;
    DecodeWatch *outer;
};

#endif // DECODEWATCH_H
