#include "isolation/isolatedread.h"

#include "base/imagelimits.h"
#include "decode/imageloader.h"
#include "decode/sourcereader.h"
#include "fs/sourcefile.h"
#include "isolation/helperpool.h"

namespace {

using Step = ConversionResult::Step;

const QString questionKey = QStringLiteral("question");

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

} // namespace

IsolatedRead::Result IsolatedRead::read(SourceFile &file, const QString &name,
                                        const Request &request)
{
    Result result;
    if (!file.isOpen()) {
        result.step = Step::Open;
        result.reason = file.errorString();
        return result;
    }
    HelperCall call;
    call.kind = QStringLiteral("decode");
    call.params = {{QStringLiteral("name"), name},
                   {QStringLiteral("scaled"), request.scaled},
                   {QStringLiteral("mode"), int(request.mode)}};
    call.source = file.device()->handle();
    call.baseSeconds = baseSeconds;
    call.secondsPerMegapixel = secondsPerMegapixel;
    call.abandoned = request.abandoned;
    call.answer = [&request](const QVariantMap &question) { return answer(request, question); };

    HelperPool &pool = HelperPool::instance();
    QVariantMap values;
    if (pool.available()) {
        const HelperOutcome outcome = pool.run(call);
        if (!outcome.done()) {
            result.step = outcome.status == HelperOutcome::Abandoned ? Step::Stop
                    : outcome.status == HelperOutcome::OutOfMemory   ? Step::Admit
                                                                     : Step::Decode;
            result.reason = outcome.reason;
            return result;
        }
        values = outcome.values;
        result.image = outcome.image;
    } else {
        // No helper program (a build without it): read here, as before.
        HelperContext context;
        context.source = call.source;
        context.params = call.params;
        context.ask = call.answer;
        context.tell = [](const QVariantMap &) {};
        HelperAnswer here = serve(context);
        values = here.values;
        result.image = here.image;
    }
    result.reason = values.value(QStringLiteral("reason")).toString();
    result.warnings = values.value(QStringLiteral("warnings")).toStringList();
    result.step = Step(values.value(QStringLiteral("step"), int(Step::Decode)).toInt());
    if (result.image.isNull() && result.step == Step::NoStep)
        result.step = Step::Decode;
    return result;
}

HelperAnswer IsolatedRead::serve(HelperContext &context)
{
    const QVariantMap &params = context.params;
    SourceReader source(context.source, params.value(QStringLiteral("name")).toString());
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
    HelperAnswer answer;
    if (params.value(QStringLiteral("scaled")).toBool()) {
        const auto targetFor = [&](const QSize &shown) {
            return context.ask({{questionKey, QStringLiteral("target")},
                                {QStringLiteral("shown"), shown}})
                    .value(QStringLiteral("target"))
                    .toSize();
        };
        answer.image = ImageLoader::readScaled(
                source, targetFor,
                Qt::AspectRatioMode(params.value(QStringLiteral("mode")).toInt()), &why, admit,
                &step);
    } else {
        answer.image = ImageLoader::read(source, &why, admit, &step);
    }
    if (answer.image.isNull()) {
        if (step == Step::NoStep)
            step = Step::Decode;
        answer.values.insert(QStringLiteral("reason"), why);
        if (why == ImageLimits::outOfMemory())
            answer.values.insert(QStringLiteral("outOfMemory"), true);
    }
    answer.values.insert(QStringLiteral("step"), int(step));
    answer.values.insert(QStringLiteral("warnings"), source.warnings());
    return answer;
}
