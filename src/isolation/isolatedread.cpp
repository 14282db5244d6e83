#include "isolation/isolatedread.h"

#include "base/imagelimits.h"
#include "decode/imageloader.h"
#include "decode/sourcereader.h"
#include "fs/sourcefile.h"
#include "isolation/helperpool.h"

#include <QCoreApplication>

namespace {

using Step = ConversionResult::Step;

const QString questionKey = QStringLiteral("question");
const QString stepKey = QStringLiteral("step");

// The window's answers to the helper's questions.
QVariantMap answer(const IsolatedRead::Request &request, const QVariantMap &question)
{
    const QString what = question.value(questionKey).toString();
    if (what == QLatin1String("target")) {
        const QSize shown = question.value(QStringLiteral("shown")).toSize();
        return {{QStringLiteral("target"), request.targetFor ? request.targetFor(shown) : QSize()}};
    }
    if (what == QLatin1String("admit")) {
        const qint64 bytes = question.value(QStringLiteral("bytes")).toLongLong();
        return {{QStringLiteral("yes"), !request.admit || request.admit(bytes)}};
    }
    return {};
}

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

QVariantMap IsolatedRead::stepNote(Step step, qint64 pixels, double secondsPerMegapixel)
{
    return {{stepKey, int(step)},
            {QStringLiteral("pixels"), pixels},
            {QStringLiteral("secondsPerMegapixel"), secondsPerMegapixel}};
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
    call.kind = request.kind;
    call.params = request.params;
    call.params.insert(QStringLiteral("name"), name);
    call.params.insert(QStringLiteral("scaled"), request.scaled);
    call.params.insert(QStringLiteral("mode"), int(request.mode));
    call.params.insert(QStringLiteral("scaling"), int(request.scaling));
    call.source = source;
    call.image = request.image;
    call.baseSeconds = request.baseSeconds;
    call.secondsPerMegapixel = request.secondsPerMegapixel;
    call.abandoned = request.abandoned;
    call.answer = [&request](const QVariantMap &question) { return answer(request, question); };
    Step reached = Step::Decode;
    call.noted = [&](const QVariantMap &note) {
        if (!note.contains(stepKey))
            return;
        reached = Step(note.value(stepKey).toInt());
        if (request.reached)
            request.reached(reached);
    };

    HelperPool &pool = HelperPool::instance();
    QVariantMap values;
    if (pool.available()) {
        HelperOutcome outcome = pool.run(call);
        if (!outcome.done()) {
            failed(outcome, reached, &result);
            return result;
        }
        values = outcome.values;
        result.image = outcome.image;
        result.preview = outcome.preview;
        result.bytes = outcome.bytes;
        result.bytesMapping = std::move(outcome.bytesMapping);
    } else {
        // No helper program (a build without it): the same work here.
        HelperContext context;
        context.source = call.source;
        context.image = call.image;
        context.params = call.params;
        context.ask = call.answer;
        context.tell = call.noted;
        HelperAnswer here = request.here ? request.here(context) : serve(context);
        values = here.values;
        result.image = here.image;
        result.preview = here.preview;
        result.bytes = here.bytes;
    }
    result.reason = values.value(QStringLiteral("reason")).toString();
    result.warnings = values.value(QStringLiteral("warnings")).toStringList();
    result.step = Step(values.value(stepKey, int(Step::Decode)).toInt());
    // No picture and no reason, unless there was none to decode.
    if (result.image.isNull() && request.image.isNull() && result.step == Step::NoStep)
        result.step = Step::Decode;
    result.values = values;
    return result;
}

QImage IsolatedRead::decode(HelperContext &context, SourceReader &source, HelperAnswer *answer)
{
    const QVariantMap &params = context.params;
    const QSize stored = source.size();
    const qint64 pixels = stored.isValid() ? qint64(stored.width()) * stored.height() : 0;
    const auto admit = [&](qint64 bytes) {
        return context.ask({{questionKey, QStringLiteral("admit")},
                            {QStringLiteral("bytes"), bytes},
                            {QStringLiteral("pixels"), pixels}})
                .value(QStringLiteral("yes"))
                .toBool();
    };
    QString why;
    Step step = Step::NoStep;
    QImage image;
    if (params.value(QStringLiteral("scaled")).toBool()) {
        const auto targetFor = [&](const QSize &shown) {
            return context.ask({{questionKey, QStringLiteral("target")},
                                {QStringLiteral("shown"), shown}})
                    .value(QStringLiteral("target"))
                    .toSize();
        };
        image = ImageLoader::readScaled(
                source, targetFor,
                Qt::AspectRatioMode(params.value(QStringLiteral("mode")).toInt()), &why, admit,
                &step, Scaling(params.value(QStringLiteral("scaling")).toInt()) == Scaling::Smooth
                        ? Scaling::Smooth
                        : Scaling::Fast);
    } else {
        image = ImageLoader::read(source, &why, admit, &step);
    }
    if (image.isNull()) {
        if (step == Step::NoStep)
            step = Step::Decode;
        answer->values.insert(QStringLiteral("reason"), why);
        if (why == ImageLimits::outOfMemory())
            answer->values.insert(QStringLiteral("outOfMemory"), true);
    }
    answer->values.insert(stepKey, int(step));
    answer->values.insert(QStringLiteral("warnings"), source.warnings());
    return image;
}

HelperAnswer IsolatedRead::serve(HelperContext &context)
{
    SourceReader source(context.source, context.params.value(QStringLiteral("name")).toString());
    HelperAnswer answer;
    answer.image = decode(context, source, &answer);
    return answer;
}
