#ifndef SETTINGSSAVER_H
#define SETTINGSSAVER_H

#include <QObject>
#include <QTimer>

#include <functional>

class QMainWindow;
class Ui_MainWindow;

// Writes the window's settings soon after one of them changes (a spin
// box, a check box, a splitter, the window's place, size or state, the
// last folder opened), not only when the window closes: a crash, a kill or
// a logout that never closes the window loses none of them. Changes that
// come together (a spin box held down, a window dragged) are written once.
class SettingsSaver : public QObject
{
    Q_OBJECT

public:
    SettingsSaver(QMainWindow *window, Ui_MainWindow *ui, std::function<QString()> lastOpenDir);

    // Something that is saved changed: written shortly.
    void changed();

    // Writes every setting of the window now, under the keys it is read
    // back from.
    static void write(QMainWindow *window, Ui_MainWindow *ui, const QString &lastOpenDir);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QMainWindow *window;
    Ui_MainWindow *ui;
    std::function<QString()> lastOpenDir;
    QTimer pending;
};

#endif // SETTINGSSAVER_H
