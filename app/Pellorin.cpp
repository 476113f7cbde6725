// Start-up: the application object, the main window run modally, and the end of the program.
#include "app/Pellorin.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/AppIcon.h"
#include "app/PellorinDlg.h"
#include "app/UserSettings.h"
#include "console/ToolVersion.h"
#include "console/UpdateRecord.h"
#include "platform/Trace.h"

namespace pellorin {

CPellorinApp::CPellorinApp(int& argc, char** argv) : m_application(argc, argv) {
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    QApplication::setApplicationVersion(QString::fromStdString(ToolVersion()));
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

void PrintHelp() {
    const std::string text =
        "Usage: Pellorin [--version | --help]\n"
        "\n"
        "Puts new firmware into an inverter's DSP and MCU through their serial bootloaders.\n"
        "Choose the serial port and the link speed in the window and press \"Update DSP\" or\n"
        "\"Update MCU\". The images dsp.hex and mcu.hex are taken from the program's own folder\n"
        "or, when they are not there, from the image folder chosen in the window's context menu\n"
        "(\"Image folder...\"). Every job writes an update record for support; the context\n"
        "menu copies or saves the log and opens the records folder.\n"
        "\n"
        "Environment:\n"
        "  PELLORIN_COM_DIR      a folder whose entries com0 to com29 (links to serial devices)\n"
        "                        are the ports COM0 to COM29; without it each serial device\n"
        "                        found (ttyS*, ttyUSB*, ttyACM*) keeps the number it was first\n"
        "                        given (COM1, COM2, ...)\n"
        "  PELLORIN_CLOCK_SCALE  runs the program's clock this many times as fast (tests, demos;\n"
        "                        only together with PELLORIN_COM_DIR)\n"
        "  PELLORIN_DEBUG        1: the serial layer's trace lines on standard error\n"
        "  XDG_STATE_HOME        where the records are kept (default ~/.local/state)\n"
        "  XDG_CONFIG_HOME       where the settings are kept (default ~/.config)\n"
        "  QT_QPA_PLATFORM       Qt's platform plugin (offscreen runs without a display)\n"
        "\n"
        "Update records (the newest 100 are kept):\n"
        "  " +
        (DefaultRecordsFolder().empty() ? "none: no home folder of the user's own"
                                        : DefaultRecordsFolder()) +
        "\n"
        "Settings:\n"
        "  " +
        UserSettingsFile().toStdString() + "\n";
    std::fputs(text.c_str(), stdout);
}

}  // namespace pellorin

int main(int argc, char** argv) {
    // The serial layer's trace lines are not the operator's (PELLORIN_DEBUG asks for them).
    platform::TraceOnlyWhenAsked();
    // Answered before the window's toolkit starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Pellorin %s\n", pellorin::ToolVersion().c_str());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            pellorin::PrintHelp();
            return 0;
        }
    }
    pellorin::CPellorinApp application(argc, argv);
    application.InitInstance();
    return 0;
}
