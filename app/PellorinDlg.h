// The operator's window (dialog template 102): the port and speed fields, the job buttons, the
// progress and timing display and the log. It owns the update engine and is its console.
//
// Threads: everything here runs on the window (GUI) thread. The job's worker reaches the window
// only through the Console calls, each carried out on the window thread while the worker waits;
// the port's listener reaches it only by posting messages to GetSafeHwnd(). Closing the window
// (Exit, Esc, the close box, or destruction) first refuses every further worker call and wakes a
// waiting one, then stops the engine (worker joined, port closed), and only then lets the
// widgets go.
#pragma once

#include <QDateTime>
#include <QDialog>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"
#include "app/WindowMessages.h"
#include "app/WindowThreadCall.h"
#include "console/Console.h"
#include "console/FlashCounters.h"
#include "console/ProgressDisplay.h"
#include "link/JobButtons.h"
#include "link/PortChoice.h"
#include "platform/Messages.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace pellorin {

class EndSound;
class FileDialogs;
class MessageBoxes;
class UpdateEngine;

// The program file's name, the caption of the window's own message boxes.
inline constexpr const char* kApplicationName = "Pellorin";

class CPellorinDlg : public QDialog,
                     public Console,
                     public platform::WindowObject,
                     private JobButtons::Window {
  public:
    explicit CPellorinDlg(QWidget* parent = nullptr);
    ~CPellorinDlg() override;
    CPellorinDlg(const CPellorinDlg&) = delete;
    CPellorinDlg& operator=(const CPellorinDlg&) = delete;

    // Replace the message boxes and the end sound (tests answer and count them).
    void SetMessageBoxes(std::unique_ptr<MessageBoxes> boxes);
    void SetEndSound(std::unique_ptr<EndSound> sound);
    // Replace the file dialogs and the file manager (tests answer them).
    void SetFileDialogs(std::unique_ptr<FileDialogs> dialogs);

    // A control by its id (IDC_... of Console.h); nullptr for an unknown id.
    [[nodiscard]] QWidget* Control(int id) const;

    // The command routing: 2 "Exit" here, the others ("Update DSP", "Update MCU", "Read
    // Version", "Rest EEPROM", ClosePort, CountImageBlocks) through JobButtons.
    void OnCommand(int id);
    void OnCancel();
    void OnAbout();

    // The menus' entries beside About: the window's menu (right click on the window) and the
    // log's (right click on the log) both hold them.
    void OnImageFolder();
    void OnCopyLog();
    void OnSaveLog();
    void OnOpenRecordsFolder();
    // The log oldest line first, each after the local time it was logged at; the list itself
    // shows the lines without times.
    [[nodiscard]] QStringList LogWithTimes() const;

    // What the line beside the log says, whole: the folders the images are looked for in.
    [[nodiscard]] QString ImageFoldersShown() const;

    // The timer tick handler, by timer id.
    void OnTimer(int timerId);
    // Writes every display text into its control (the refresh after each tick).
    void UpdateDisplay();

    UpdateEngine& Engine() { return *m_engine; }
    FlashCounters& Counters() { return m_counters; }
    [[nodiscard]] int JobMode() const { return m_buttons->JobMode(); }
    [[nodiscard]] bool NegotiateBaud() const { return m_buttons->NegotiateBaud(); }
    [[nodiscard]] const std::string& PortName() const { return m_buttons->PortName(); }
    [[nodiscard]] bool TimerActive(int timerId) const;

    // Console (called by the worker; carried out on the window thread).
    void InsertLogLine(const std::string& line) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int position) override;
    void StartTimer(int timerId, unsigned periodMs) override;
    void StopTimer(int timerId) override;
    void EnableJobButtons(bool enable) override;
    int SelectedBaudIndex() override;
    void ShowMessage(const std::string& text) override;
    void ImageNotFound(const std::string& fileName,
                       const std::vector<std::string>& folders) override;
    [[nodiscard]] bool StopRequested() const override;

    // WindowObject: the target the port's listener posts to.
    [[nodiscard]] platform::HWND GetSafeHwnd() override { return &m_target; }

    // QDialog: Esc and the close box end in reject(), which is "Exit"; accept() is the dialog's
    // OK command, which is "Update DSP" and does not close the window.
    void reject() override;
    void accept() override;

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void CreateControls();
    void OnInitDialog();
    // Fills the port field, selecting the adapter `keepIdentity` while it is offered.
    void FillPortList(const std::string& keepIdentity = {});
    // Lists the ports again (adapters plugged in or out, the list opened), keeping the selected
    // adapter selected; waits while a job has the port.
    void RefreshPortList();
    // The tooltip of the port field: the selected entry's device and adapter, or why no port
    // can be offered.
    void ShowPortDescription();
    // The line beside the log: the folders the images are looked for in, in order.
    void ShowImageFolders();
    // The window's menu (with About) or the log's, at a global position.
    void ShowMenu(const QPoint& where, bool windowMenu);
    void WatchPorts();
    void ShutDown();
    // A message posted to GetSafeHwnd(), on the window thread.
    void OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);
    QTimer* Timer(int timerId) const;

    // JobButtons::Window: the boxes, the speed field, the port field and the job buttons.
    bool ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) override;
    void SelectBaudItem(int index) override;
    [[nodiscard]] int SelectedPortEntry() const override;
    [[nodiscard]] std::string TypedPortText() const override;
    [[nodiscard]] bool JobButtonsEnabled() const override;
    void SetJobButtonsEnabled(bool enable) override;

    WindowThreadCall m_windowCall;
    PostedMessageTarget m_target{[this](UINT message, WPARAM wParam, LPARAM lParam) {
        OnWindowMessage(message, wParam, lParam);
    }};
    UINT m_serialMessage;
    std::unique_ptr<MessageBoxes> m_boxes;
    std::unique_ptr<EndSound> m_sound;
    std::unique_ptr<FileDialogs> m_dialogs;
    FlashCounters m_counters;
    ProgressDisplay m_display{m_counters};

    // Text typed into a combo's edit field leaves it with no selected item.
    bool m_baudTyped = false;
    bool m_portTyped = false;
    bool m_shutDown = false;
    // When each line of the log list was logged, oldest first (the list shows the newest first).
    std::vector<QDateTime> m_logTimes;

    QComboBox* m_portCombo = nullptr;
    QComboBox* m_baudCombo = nullptr;
    QListWidget* m_logList = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_percentText = nullptr;
    QLineEdit* m_totalBlocksText = nullptr;
    QLineEdit* m_writtenBlocksText = nullptr;
    QLineEdit* m_elapsedText = nullptr;
    QLineEdit* m_remainText = nullptr;
    QLineEdit* m_speedText = nullptr;
    QLabel* m_imageFolders = nullptr;
    QString m_imageFoldersText;                  // what it says, whole
    std::array<QPushButton*, 3> m_jobButtons{};  // 1, 3 and 1035
    std::array<QTimer*, 2> m_timers{};           // ids 1 and 2

    // The port list's entries (index for index) and the ports that did not open, with why.
    PortChoice m_ports;
    std::unique_ptr<serial::PortWatch> m_portWatch;
    QSocketNotifier* m_portNotifier = nullptr;
    QTimer* m_portRefresh = nullptr;  // single shot: the changes of one replug come as a burst
    bool m_portsChanged = false;

    // Last, so that it is built on a complete window; destroyed explicitly in the destructor.
    std::unique_ptr<UpdateEngine> m_engine;
    // The buttons with the window's state record, made with the engine they start jobs on.
    std::unique_ptr<JobButtons> m_buttons;
};

}  // namespace pellorin
