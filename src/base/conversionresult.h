#ifndef CONVERSIONRESULT_H
#define CONVERSIONRESULT_H

#include <QImage>
#include <QString>
#include <QStringList>

// The outcome of converting one photo. The reason is for the user, in
// their language; the detail is for the log and may name library errors.
struct ConversionResult
{
    enum Outcome {
        Written,
        Failed,
        // A later batch has already written this file: nothing is wrong,
        // the newer result stays.
        Superseded,
    };

    // The step of the conversion that did not get through.
    enum Step {
        NoStep,
        Open,   // the source is not a regular, readable file
        Admit,  // too large, or cancelled while it waited for memory
        Decode, // not an image, or damaged
        Fit,    // no size to scale to, or scaling failed
        Encode, // no writer for the format, or the writer failed
        Folder, // the save folder is missing, unmakeable or a link
        Commit, // the file could not be put in place (disk full, ...)
        Stop,   // the batch was stopped before the file was put in place
    };

    Outcome outcome = Failed;
    Step step = NoStep;
    QString reason;
    QString detail;
    // What the written file lacks that the source had (metadata that
    // could not be read, a profile that does not fit), in the user's words.
    QStringList warnings;
    QString fileName; // the file written, when Written
    // The source's bytes and the written file's, when Written.
    qint64 sourceBytes = 0;
    qint64 writtenBytes = 0;
    QImage preview;   // list-sized, what the written file looks like

    bool written() const { return outcome == Written; }
};

// One image of a batch that was not converted, and why, in the user's words.
struct ImageFailure
{
    QString path;
    QString reason;
    ConversionResult::Step step = ConversionResult::NoStep;
};

#endif // CONVERSIONRESULT_H
