#include "ui/convertchords.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace {

QKeyCombination combination(const QKeyEvent *key)
{
    return QKeyCombination(key->modifiers() & ~Qt::KeypadModifier, Qt::Key(key->key()));
}

bool isModifier(int key)
{
    return key == Qt::Key_Control || key == Qt::Key_Shift || key == Qt::Key_Alt
            || key == Qt::Key_Meta || key == Qt::Key_AltGr;
}

} // namespace

ConvertChords::ConvertChords(QWidget *window, const QList<QAction *> &chords)
    : QObject(window), window(window), chords(chords)
{
    // At the application: the shortcut override goes to whatever child has
    // the focus, spin boxes and their inner fields included.
    qApp->installEventFilter(this);
}

QAction *ConvertChords::secondStroke(const QKeyEvent *key) const
{
    for (QAction *action : chords) {
        const QKeySequence sequence = action->shortcut();
        if (sequence.count() == 2 && sequence[1] == combination(key))
            return action;
    }
    return nullptr;
}

bool ConvertChords::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != window || chords.isEmpty())
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (isModifier(key->key()))
        return false;

    const bool firstStroke = chords.first()->shortcut()[0] == combination(key);
    if (type == QEvent::KeyPress) {
        // After a copy, the press of the second key finishes the chord.
        if (!copiedFirst || firstStroke)
            return false;
        copiedFirst = false;
        QAction *action = secondStroke(key);
        if (!action)
            return false;
        action->trigger();
        return true;
    }
    if (!firstStroke) {
        // Any other key ends the chord, also one that a shortcut takes.
        if (copiedFirst && !secondStroke(key))
            copiedFirst = false;
        return false;
    }
    const QString selected = widget->inputMethodQuery(Qt::ImCurrentSelection).toString();
    if (!selected.isEmpty()) {
        // The field copies; the chord may still follow.
        copiedFirst = true;
        return false;
    }
    copiedFirst = false;
    // Not taken by the field: the window's shortcuts see the first stroke.
    key->ignore();
    return true;
}
