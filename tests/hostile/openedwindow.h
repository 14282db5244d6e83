#ifndef OPENEDWINDOW_H
#define OPENEDWINDOW_H

#include "windowdriver.h"

#include <QTest>

#include <memory>

namespace Hostile {

// A shown window with files opened through the Open Images dialog, once
// every row is listed; the folder is not opened after a batch. Null when
// the window's parts are missing or the list never finishes loading.
inline std::unique_ptr<MainWindow> openedWindow(const QStringList &files)
{
    auto w = std::make_unique<MainWindow>();
    w->show();
    WindowDriver d(w.get());
    if (!d.complete()) {
        qWarning("main window parts not found");
        return nullptr;
    }
    d.autoOpen->setChecked(false);
    if (!d.startOpen(files))
        return nullptr;
    if (!QTest::qWaitFor([&]() {
            return d.status->currentMessage()
                    == QStringLiteral("%1 images loaded").arg(files.size());
        }, 300000))
        return nullptr;
    return w;
}


} // namespace Hostile

#endif // OPENEDWINDOW_H
