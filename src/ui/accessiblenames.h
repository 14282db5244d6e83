#ifndef ACCESSIBLENAMES_H
#define ACCESSIBLENAMES_H

class QToolBar;
class Ui_MainWindow;

// Names and descriptions for screen readers where the window shows only an
// icon, or a rich-text tool tip that they do not read out.
namespace AccessibleNames {

void describe(Ui_MainWindow *ui);
// The tool bar's buttons, once the actions are on it.
void describe(QToolBar *toolBar);

} // namespace AccessibleNames

#endif // ACCESSIBLENAMES_H
