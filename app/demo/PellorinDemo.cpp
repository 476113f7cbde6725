// pellorin-demo: drives the operator's window as an operator would. It presses "Update DSP",
// waits for the end, presses "Update MCU", prints each new log line as it appears, saves a
// screenshot of the window and leaves with "Exit". The port list comes from PELLORIN_COM_DIR and
// the images from the executable's folder, as for the program itself.
//
// Usage: pellorin-demo [--screenshot FILE.png] [--timeout-s N]
// Exit status 0 when both updates ended well.
#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/AppIcon.h"
#include "app/EndSound.h"
#include "app/MessageBoxes.h"
#include "app/PellorinDlg.h"
#include "flash/UpdateEngine.h"

namespace {

using pellorin::CPellorinDlg;

// No operator to press OK: the box is printed and answered No (for a question) or OK.
class PrintedMessageBoxes : public pellorin::MessageBoxes {
  public:
    void Inform(QWidget*, const QString& text, const QString& caption) override {
        std::printf("[message box \"%s\"] %s\n", caption.toUtf8().constData(),
                    text.toUtf8().constData());
        std::fflush(stdout);
    }
    bool AskYesNo(QWidget* owner, const QString& text, const QString& caption) override {
        Inform(owner, text, caption);
        return false;
    }
};

class AnnouncedEndSound : public pellorin::EndSound {
  public:
    void Play() override {
        std::printf("[end sound]\n");
        std::fflush(stdout);
        m_desktop.Play();
    }

  private:
    pellorin::DesktopEndSound m_desktop;
};

class Operator {
  public:
    Operator(CPellorinDlg& window, QString screenshot)
        : m_window(window), m_screenshot(screenshot) {
        m_log = qobject_cast<QListWidget*>(window.Control(pellorin::IDC_LOG_LIST));
    }

    // One look at the window: print what is new, and press the next button when it is time.
    void Step() {
        PrintNewLines();
        if (JobRunning()) return;
        switch (m_stage) {
            case Stage::Start:
                Press(pellorin::IDC_UPDATE_DSP, "Update DSP");
                m_stage = Stage::Dsp;
                break;
            case Stage::Dsp:
                Press(pellorin::IDC_UPDATE_MCU, "Update MCU");
                m_stage = Stage::Mcu;
                break;
            case Stage::Mcu:
                Finish();
                break;
            case Stage::Done:
                break;
        }
    }

    void GiveUp() {
        std::printf("[demo] timed out\n");
        m_ok = false;
        Finish();
    }

    [[nodiscard]] bool Ok() const { return m_ok; }

  private:
    enum class Stage { Start, Dsp, Mcu, Done };

    bool JobRunning() {
        // A job has ended once its worker is gone and it has enabled the buttons again.
        auto* dsp = qobject_cast<QPushButton*>(m_window.Control(pellorin::IDC_UPDATE_DSP));
        return m_window.Engine().Link.JobRunning() || !dsp->isEnabled();
    }

    void Press(int id, const char* text) {
        std::printf("[operator] presses \"%s\"\n", text);
        std::fflush(stdout);
        qobject_cast<QPushButton*>(m_window.Control(id))->click();
    }

    void PrintNewLines() {
        // The newest line stands on top: the new ones are the first (count - printed) items.
        const int fresh = m_log->count() - m_printed;
        for (int i = fresh - 1; i >= 0; --i) {
            const QString line = m_log->item(i)->text();
            if (line.startsWith(QStringLiteral("Reflash  case time:"))) ++m_finishedRuns;
            std::printf("  %s\n", line.toUtf8().constData());
        }
        if (fresh > 0) std::fflush(stdout);
        m_printed = m_log->count();
    }

    void Finish() {
        if (m_stage == Stage::Done) return;
        m_stage = Stage::Done;
        PrintNewLines();
        if (m_finishedRuns != 2) m_ok = false;
        if (!m_screenshot.isEmpty()) {
            if (m_window.grab().save(m_screenshot, "PNG")) {
                std::printf("[demo] screenshot saved to %s\n", m_screenshot.toUtf8().constData());
            } else {
                std::printf("[demo] could not save %s\n", m_screenshot.toUtf8().constData());
                m_ok = false;
            }
        }
        std::printf("[operator] presses \"Exit\"\n");
        std::fflush(stdout);
        m_window.OnCommand(pellorin::IDC_EXIT);
    }

    CPellorinDlg& m_window;
    QString m_screenshot;
    QListWidget* m_log = nullptr;
    Stage m_stage = Stage::Start;
    int m_printed = 0;
    int m_finishedRuns = 0;
    bool m_ok = true;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(pellorin::kApplicationName));
    QApplication::setWindowIcon(pellorin::AppIcon());

    QString screenshot = QStringLiteral("pellorin-demo.png");
    int timeoutSeconds = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--timeout-s") == 0 && i + 1 < argc) {
            timeoutSeconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--screenshot FILE.png] [--timeout-s N]\n", argv[0]);
            return 2;
        }
    }

    CPellorinDlg window;
    window.SetMessageBoxes(std::make_unique<PrintedMessageBoxes>());
    window.SetEndSound(std::make_unique<AnnouncedEndSound>());
    Operator user(window, screenshot);

    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &window, [&user] { user.Step(); });
    look.start(20);
    QTimer::singleShot(timeoutSeconds * 1000, &window, [&user] { user.GiveUp(); });

    window.exec();
    return user.Ok() ? 0 : 1;
}
