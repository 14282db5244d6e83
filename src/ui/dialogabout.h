#ifndef DIALOGABOUT_H
#define DIALOGABOUT_H

#include <QDialog>
#include <QUrl>

class Ui_DialogAbout;

// The About box: product picture, version, a button to the home page and a
// "License" button that unfolds the product information.
class DialogAbout : public QDialog
{
    Q_OBJECT

public:
    static constexpr int foldedHeight = 226;
    static constexpr int unfoldedHeight = 387;

    explicit DialogAbout(QWidget *parent = nullptr);
    ~DialogAbout() override;

    static QUrl homePage();

protected:
    void changeEvent(QEvent *e) override;

private slots:
    void on_pushButtonLicense_clicked();
    void on_pushButtonHome_clicked();

private:
    void showQtVersion();

    Ui_DialogAbout *ui;
};

#endif // DIALOGABOUT_H
