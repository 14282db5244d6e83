#include "ui/dialogabout.h"
#include "ui_dialogabout.h"

#include "isolation/helperpool.h"

#include <QDesktopServices>
#include <QEvent>
#include <QUrl>

DialogAbout::DialogAbout(QWidget *parent)
    : QDialog(parent), ui(new Ui_DialogAbout)
{
    Q_INIT_RESOURCE(pictavo);
    ui->setupUi(this);
    showQtVersion();
    ui->frame_2->setVisible(false);
    setFixedHeight(foldedHeight);
}

DialogAbout::~DialogAbout()
{
    delete ui;
}

QUrl DialogAbout::homePage()
{
    return QUrl(QStringLiteral("https://www.tarnwick.com/pictavo/"));
}

void DialogAbout::changeEvent(QEvent *e)
{
    QDialog::changeEvent(e);
    if (e->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        showQtVersion();
    }
}

void DialogAbout::showQtVersion()
{
    // The document names the Qt release the program runs on, which only
    // the running program knows.
    const QString html = ui->textEdit->toHtml();
    ui->textEdit->setHtml(QString(html).replace(QLatin1String("@QT_VERSION@"),
                                                QLatin1String(qVersion())));
    // Whether the helpers that read the user's files are walled in, where
    // it is seen: the kernel may refuse the filter, and the user should
    // know when it did.
    const HelperPool &pool = HelperPool::instance();
    ui->labelSandbox->setText(
            !pool.available()
                    ? tr("Files are read without helper processes: the sandbox is off.")
            : !pool.sandboxed() ? tr("Files are read in helper processes; the sandbox is off.")
            : pool.landlocked() ? tr("Files are read in sandboxed helper processes, walled off from "
                                     "the file system by Landlock.")
                                : tr("Files are read in sandboxed helper processes."));
}

void DialogAbout::on_pushButtonLicense_clicked()
{
    if (ui->frame_2->isVisible()) {
        ui->frame_2->setVisible(false);
        setFixedHeight(foldedHeight);
    } else {
        ui->frame_2->setVisible(true);
        setFixedHeight(unfoldedHeight);
    }
}

void DialogAbout::on_pushButtonHome_clicked()
{
    QDesktopServices::openUrl(homePage());
}
