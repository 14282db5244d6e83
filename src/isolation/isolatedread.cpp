#include "isolation/isolatedread.h"

#include "base/imagelimits.h"
#include "decode/imageloader.h"
#include "decode/sourcereader.h"
#include "fs/sourcefile.h"
#include "isolation/helperpool.h"

#include <QCoreApplication>

namespace {

using Step = ConversionResult::Step;

QString tr(const char *text)
{
    return QCoreApplication::translate("IsolatedRead", text);
}

// Why a request the helper did not finish failed, by the step it was at.
void failed(const HelperOutcome &outcome, Step reached, IsolatedRead::Result *result)
{
    const bool encoding = reached == Step::Encode;
    result->step = encoding ? Step::Encode : Step::Decode;
    result->reason = outcome.reason;
    switch (outcome.status) {
    case HelperOutcome::Abandoned:
        result->step = Step::Stop;
        break;
    case HelperOutcome::OutOfMemory:
        if (encoding)
            result->reason = ImageLimits::outOfMemory();
        else
            result->step = Step::Admit;
        break;
    case HelperOutcome::Nonsense:
        result->reason = Protocol::nonsense();
        break;
    case HelperOutcome::Crashed:
        if (encoding)
            result->reason = tr("the encoder stopped on this file");
        break;
    case HelperOutcome::TimedOut:
        if (encoding)
            result->reason = tr("encoding took longer than %1 s").arg(outcome.seconds);
        break;
    default:
        break;
    }
}

} // namespace

Protocol::Note IsolatedRead::stepNote(Step step, qint64 pixels, double secondsPerMegapixel)
{
    Protocol::Note note;
    note.step = quint8(step);
    note.pixels = pixels;
    note.msPerMegapixel = quint32(qBound(0.0, secondsPerMegapixel * 1000, 60000.0));
    return note;
}

IsolatedRead::Result IsolatedRead::read(SourceFile &file, const QString &name,
                                        const Request &request)
{
    if (!file.isOpen()) {
        Result result;
        result.step = Step::Open;
        result.reason = file.errorString();
        return result;
    }
    return run(file.device()->handle(), name, request);
}

IsolatedRead::Result IsolatedRead::run(int source, const QString &name, const Request &request)
{
    Result result;
    HelperCall call;
    call.request = request.protocol;
    call.request.name = name;
    call.request.scaled = request.scaled;
    call.request.mode = quint8(qBound(0, int(request.mode), 2));
    call.request.scaling = request.scaling == Scaling::Smooth ? 1 : 0;
    call.source = source;
    call.image = request.image;
    call.baseSeconds = request.baseSeconds;
    call.secondsPerMegapixel = request.secondsPerMegapixel;
    call.abandoned = request.abandoned;
    call.target = request.targetFor;
    call.admit = request.admit;
    Step reached = Step::Decode;
    call.noted = [&](const Protocol::Note &note) {
        if (note.step == quint8(Step::NoStep))
            return;
        reached = Step(note.step);
        if (request.reached)
            request.reached(reached);
    };

    // Read in a helper or not at all: without one (a build or an install
    // that lacks it) the image fails with the reason, never read here.
    HelperOutcome outcome = HelperPool::instance().run(call);
    if (!outcome.done()) {
        failed(outcome, reached, &result);
        return result;
    }
    const Protocol::Answer values = outcome.values;
    result.image = outcome.image;
    result.preview = outcome.preview;
    result.bytes = outcome.bytes;
    result.bytesMapping = std::move(outcome.bytesMapping);
    result.reason = values.reason;
    result.warnings = values.warnings;
    result.step = Step(values.step);
    // No picture and no reason, unless there was none to decode or none
    // was asked for.
    if (result.image.isNull() && request.image.isNull() && request.protocol.wantPicture
        && result.step == Step::NoStep)
        result.step = Step::Decode;
    result.values = values;
    return result;
}

QImage IsolatedRead::decode(HelperContext &context, SourceReader &source, HelperAnswer *answer)
{
    const Protocol::Request &params = context.request;
    const QSize stored = source.size();
    const qint64 pixels = stored.isValid() ? qint64(stored.width()) * stored.height() : 0;
    const auto admit = [&](qint64 bytes) { return context.admit(bytes, pixels); };
    QString why;
    Step step = Step::NoStep;
    QImage image;
    if (params.scaled) {
        image = ImageLoader::readScaled(source, context.target, Qt::AspectRatioMode(params.mode),
                                        &why, admit, &step,
                                        params.scaling == 1 ? Scaling::Smooth : Scaling::Fast);
    } else {
        image = ImageLoader::read(source, &why, admit, &step);
    }
    if (image.isNull()) {
        if (step == Step::NoStep)
            step = Step::Decode;
        answer->values.reason = why;
        if (why == ImageLimits::outOfMemory())
            answer->values.status = Protocol::Answer::OutOfMemory;
    }
    answer->values.step = quint8(step);
    answer->values.warnings = source.warnings();
    return image;
}

HelperAnswer IsolatedRead::serve(HelperContext &context)
{
    SourceReader source(context.source, context.request.name);
    HelperAnswer answer;
    answer.image = decode(context, source, &answer);
    return answer;
}
