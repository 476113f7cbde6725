// Start-up: the application object, the main window run modally, and the end of the program.
#include "app/Pellorin.h"

#include "app/AppIcon.h"
#include "app/PellorinDlg.h"

namespace pellorin {

CPellorinApp::CPellorinApp(int& argc, char** argv) : m_application(argc, argv) {
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    QApplication::setWindowIcon(AppIcon());
#ifdef PELLORIN_APP_ID
    // The desktop entry's name: a Wayland desktop shows the entry's icon and name for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral(PELLORIN_APP_ID));
#endif
}

bool CPellorinApp::InitInstance() {
    CPellorinDlg dialog;
    dialog.exec();  // either result ends the program
    return false;
}

}  // namespace pellorin

int main(int argc, char** argv) {
    pellorin::CPellorinApp application(argc, argv);
    application.InitInstance();
    return 0;
}
