#ifndef HELPERCONVERSATION_H
#define HELPERCONVERSATION_H

#include "isolation/helperpool.h"
#include "isolation/validator.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <sys/types.h>

// One request's exchange with one helper, on the window's side: sends the
// request, answers the questions, hears the notes and takes the answer,
// each message checked (Validator) as it comes. Every step has a deadline
// fixed when it starts, grown once when the picture's size is first said
// (within bounds), and moved by nothing else; the time the window takes to
// answer does not count. A message out of order or out of bounds ends the
// exchange as Nonsense; the helper is never reused then.
class HelperConversation
{
    Q_DECLARE_TR_FUNCTIONS(HelperPool)

public:
    // gone: whether the pool has ended every helper since the request
    // began (its end then counts as given up, not as a crash).
    HelperConversation(pid_t pid, int socket, const HelperCall &call, double timeScale,
                       std::function<bool()> gone);

    // reusable: whether the helper may serve another request.
    HelperOutcome run(bool *reusable);

private:
    enum class Next { More, Over };
    // What came of a message: taken, refused (nonsense), or the helper is
    // gone (the answer to it could not be sent).
    enum class Heard { Fine, Refused, Gone };

    bool sendRequest(HelperOutcome *outcome, bool *reusable);
    Next take(HelperOutcome *outcome, bool *reusable);
    Heard answerQuestion(const Protocol::Question &question);
    bool hearNote(const Protocol::Note &note);
    void answered(const Protocol::Answer &answer, QList<int> *descriptors,
                  HelperOutcome *outcome, bool *reusable);
    // Sets the step's time for a picture of pixels, the first time the
    // step hears of one.
    void sized(qint64 pixels);
    bool pastDeadline() const;
    HelperOutcome ended(HelperOutcome::Status status, const QString &reason) const;

    const pid_t pid;
    const int socket;
    const HelperCall &call;
    const double scale;
    std::function<bool()> gone;
    Validator::Knowledge known;
    QElapsedTimer clock;
    qint64 pausedMs = 0; // spent answering, in this step
    double cpuAtStart = 0;
    double allowed = 0;
    double perMegapixel = 0;
};

#endif // HELPERCONVERSATION_H
