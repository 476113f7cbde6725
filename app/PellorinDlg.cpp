// The operator's window: its template, initialisation, buttons, timer ticks and the Console calls.
#include "app/PellorinDlg.h"

#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>

#include "app/AboutBox.h"
#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "app/EndSound.h"
#include "app/FileDialogs.h"
#include "app/MessageBoxes.h"
#include "app/UserSettings.h"
#include "flash/UpdateEngine.h"
#include "platform/Clock.h"

namespace pellorin {
namespace {

constexpr int kNoId = -1;  // a control without an id of its own (labels, group boxes)
constexpr int kAboutCommand = 0x0010;
constexpr UINT kWmCommand = 0x0111;
constexpr int kMaxPercentChars = 5;

// Real milliseconds from the last change under /dev to the new list.
constexpr int kPortSettleMs = 300;

enum class Kind { Combo, Button, Group, Progress, Static, List, Edit };
enum Flags : unsigned { kNone = 0, kHidden = 1, kDisabled = 2 };

struct ControlTemplate {
    int id;
    Kind kind;
    const char* text;
    int x, y, width, height;
    unsigned flags;
};

// Dialog template 102, in template (tab) order; positions in dialog units.
constexpr ControlTemplate kTemplate[] = {
    {IDC_PORT_COMBO, Kind::Combo, "", 61, 19, 69, 61, kNone},
    {IDC_UPDATE_DSP, Kind::Button, "Update DSP", 17, 129, 105, 31, kNone},
    {IDC_EXIT, Kind::Button, "Exit", 17, 167, 105, 33, kNone},
    {kNoId, Kind::Group, "Information", 146, 5, 223, 200, kNone},
    {IDC_PROGRESS_BAR, Kind::Progress, "", 157, 64, 208, 11, kNone},
    {IDC_PERCENT_TEXT, Kind::Static, "Static", 264, 47, 24, 8, kNone},
    {kNoId, Kind::Group, "SerialSetting", 8, 7, 131, 72, kNone},
    {IDC_LOG_LIST, Kind::List, "", 155, 85, 210, 116, kNone},
    {kNoId, Kind::Static, "Serial:", 13, 21, 29, 8, kNone},
    {kNoId, Kind::Static, "Total Blocks:", 158, 17, 53, 8, kNone},
    {IDC_TOTAL_BLOCKS, Kind::Edit, "", 212, 16, 40, 13, kNone},
    {kNoId, Kind::Static, "Writed Blocks:", 256, 15, 57, 8, kNone},
    {IDC_WRITTEN_BLOCKS, Kind::Edit, "", 322, 13, 42, 12, kNone},
    {kNoId, Kind::Static, "Escape Time:", 158, 33, 49, 8, kNone},
    {IDC_ELAPSED_TEXT, Kind::Edit, "", 212, 31, 40, 13, kNone},
    {kNoId, Kind::Static, "Remain Time:", 256, 31, 49, 8, kNone},
    {IDC_REMAIN_TEXT, Kind::Edit, "", 322, 28, 42, 12, kNone},
    {kNoId, Kind::Static, "Speed:", 158, 48, 25, 8, kNone},
    {IDC_SPEED_TEXT, Kind::Edit, "", 212, 46, 42, 12, kNone},
    {kNoId, Kind::Static, "Current ID:", 260, 123, 47, 11, kHidden},
    {IDC_CURRENT_ID, Kind::Edit, "", 314, 119, 40, 13, kHidden},
    {IDC_UPDATE_MCU, Kind::Button, "Update MCU", 18, 87, 103, 31, kNone},
    {IDC_READ_VERSION, Kind::Button, "Read Version", 147, 157, 80, 18, kHidden | kDisabled},
    {IDC_RESET_EEPROM, Kind::Button, "Rest EEPROM", 148, 181, 80, 18, kHidden | kDisabled},
    {kNoId, Kind::Static, "Baudrate", 13, 41, 34, 12, kNone},
    {IDC_BAUD_COMBO, Kind::Combo, "", 61, 41, 69, 61, kNone},
    // Not in the original template: where the images are looked for, between the bar and the
    // log, so that an operator sees it without looking for it.
    {IDC_IMAGE_FOLDERS, Kind::Static, "", 157, 76, 208, 8, kNone},
};

// How the window's texts name the way to its folder chooser.
constexpr const char* kHowToChooseFolder = "(right-click the log or the window)";

QString Text(const char* text) { return QString::fromUtf8(text); }

// The port field: opening its list lists the ports again first, so a port that another program
// has let go (which no device event announces) is offered.
class PortComboBox : public QComboBox {
  public:
    PortComboBox(QWidget* parent, std::function<void()> beforePopup)
        : QComboBox(parent), m_beforePopup(std::move(beforePopup)) {}
    void showPopup() override {
        m_beforePopup();
        QComboBox::showPopup();
    }

  private:
    std::function<void()> m_beforePopup;
};

}  // namespace

CPellorinDlg::CPellorinDlg(QWidget* parent)
    : QDialog(parent),
      m_serialMessage(platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg")),
      m_boxes(std::make_unique<ModalMessageBoxes>()),
      m_sound(std::make_unique<DesktopEndSound>()),
      m_dialogs(std::make_unique<DesktopFileDialogs>()) {
    // A window of its own on the task bar: caption, system menu and close box, no minimise or
    // maximise box, fixed size.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(Text(kApplicationName));
    setFont(DialogFont());
    CreateControls();
    m_engine = std::make_unique<UpdateEngine>(*this, *this, m_counters);
    m_buttons =
        std::make_unique<JobButtons>(static_cast<JobButtons::Window&>(*this), *m_engine, m_ports);
    OnInitDialog();
    WatchPorts();
}

CPellorinDlg::~CPellorinDlg() {
    ShutDown();
    // The engine goes before the widgets and the helpers it reports through.
    m_buttons.reset();
    m_engine.reset();
}

void CPellorinDlg::SetMessageBoxes(std::unique_ptr<MessageBoxes> boxes) {
    m_boxes = std::move(boxes);
}

void CPellorinDlg::SetEndSound(std::unique_ptr<EndSound> sound) { m_sound = std::move(sound); }

void CPellorinDlg::SetFileDialogs(std::unique_ptr<FileDialogs> dialogs) {
    m_dialogs = std::move(dialogs);
}

void CPellorinDlg::CreateControls() {
    const DialogUnits units(font());
    setFixedSize(units.X(401), units.Y(211));

    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& item : kTemplate) {
        const QString text = Text(item.text);
        QWidget* widget = nullptr;
        bool tabStop = true;
        QRect rect = units.Rect(item.x, item.y, item.width, item.height);
        switch (item.kind) {
            case Kind::Combo: {
                auto* combo = item.id != IDC_PORT_COMBO ? new QComboBox(this)
                                                        : new PortComboBox(this, [this] {
                                                              m_portsChanged = true;
                                                              RefreshPortList();
                                                          });
                combo->setEditable(true);
                combo->setInsertPolicy(QComboBox::NoInsert);
                // The template's height is that of the drop-down list; the closed field takes
                // its own height from the font.
                combo->setMaxVisibleItems(
                    std::max(1, units.Y(item.height) / std::max(1, units.CharHeight())));
                rect.setHeight(combo->sizeHint().height());
                widget = combo;
                break;
            }
            case Kind::Button:
                widget = new QPushButton(text, this);
                break;
            case Kind::Group: {
                auto* group = new QGroupBox(text, this);
                // A frame around other controls: never in their way.
                group->setAttribute(Qt::WA_TransparentForMouseEvents);
                widget = group;
                tabStop = false;
                break;
            }
            case Kind::Progress: {
                auto* bar = new QProgressBar(this);
                bar->setRange(0, 100);
                bar->setValue(0);
                bar->setTextVisible(false);
                widget = bar;
                tabStop = false;
                break;
            }
            case Kind::Static:
                widget = new QLabel(text, this);
                tabStop = false;
                break;
            case Kind::List: {
                auto* list = new QListWidget(this);
                list->setSortingEnabled(false);  // lines are inserted at the top, unsorted
                list->setUniformItemSizes(true);
                list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                widget = list;
                break;
            }
            case Kind::Edit: {
                auto* edit = new QLineEdit(this);
                edit->setReadOnly(true);
                widget = edit;
                break;
            }
        }
        widget->setGeometry(rect);
        widget->setObjectName(item.id == kNoId ? QStringLiteral("static:") + text
                                               : QString::number(item.id));
        widget->setProperty("controlId", item.id);
        widget->setProperty("dialogRect", QRect(item.x, item.y, item.width, item.height));
        if (item.flags & kHidden) widget->setVisible(false);
        if (item.flags & kDisabled) widget->setEnabled(false);
        widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (tabStop) {
            if (previousTabStop != nullptr) setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
    // Group boxes are drawn behind the controls they frame.
    for (QGroupBox* group : findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) group->lower();

    m_portCombo = findChild<QComboBox*>(QString::number(IDC_PORT_COMBO));
    m_baudCombo = findChild<QComboBox*>(QString::number(IDC_BAUD_COMBO));
    m_logList = findChild<QListWidget*>(QString::number(IDC_LOG_LIST));
    m_progressBar = findChild<QProgressBar*>(QString::number(IDC_PROGRESS_BAR));
    m_percentText = findChild<QLabel*>(QString::number(IDC_PERCENT_TEXT));
    m_totalBlocksText = findChild<QLineEdit*>(QString::number(IDC_TOTAL_BLOCKS));
    m_writtenBlocksText = findChild<QLineEdit*>(QString::number(IDC_WRITTEN_BLOCKS));
    m_elapsedText = findChild<QLineEdit*>(QString::number(IDC_ELAPSED_TEXT));
    m_remainText = findChild<QLineEdit*>(QString::number(IDC_REMAIN_TEXT));
    m_speedText = findChild<QLineEdit*>(QString::number(IDC_SPEED_TEXT));
    m_imageFolders = findChild<QLabel*>(QString::number(IDC_IMAGE_FOLDERS));
    m_imageFolders->setTextFormat(Qt::PlainText);
    // The log has a menu of its own: what is done with the log, and where the images come from.
    m_logList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_logList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { ShowMenu(m_logList->mapToGlobal(position), false); });
    m_jobButtons = {findChild<QPushButton*>(QString::number(IDC_UPDATE_DSP)),
                    findChild<QPushButton*>(QString::number(IDC_UPDATE_MCU)),
                    findChild<QPushButton*>(QString::number(IDC_READ_VERSION))};

    // The template's initial data for the speed field.
    for (const LinkSpeed& speed : kLinkSpeeds) m_baudCombo->addItem(Text(speed.boxEntry));
    // Typing into a combo's edit field leaves it without a selected item; choosing an item
    // selects again.
    connect(m_baudCombo->lineEdit(), &QLineEdit::textEdited, this, [this] { m_baudTyped = true; });
    connect(m_baudCombo, &QComboBox::activated, this, [this] { m_baudTyped = false; });
    connect(m_portCombo->lineEdit(), &QLineEdit::textEdited, this, [this] { m_portTyped = true; });
    connect(m_portCombo, &QComboBox::activated, this, [this] { m_portTyped = false; });

    // The dialog's buttons send their commands.
    const int buttonIds[] = {IDC_UPDATE_DSP, IDC_EXIT, IDC_UPDATE_MCU, IDC_READ_VERSION,
                             IDC_RESET_EEPROM};
    for (int id : buttonIds) {
        auto* button = findChild<QPushButton*>(QString::number(id));
        // Enter presses the button that has the focus, as on every dialog.
        button->setAutoDefault(true);
        connect(button, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    }
    // Elsewhere Enter is the dialog's OK command, "Update DSP".
    m_jobButtons[0]->setDefault(true);

    for (int i = 0; i < 2; ++i) {
        const int timerId = i + 1;
        m_timers[i] = new QTimer(this);
        m_timers[i]->setTimerType(Qt::PreciseTimer);
        connect(m_timers[i], &QTimer::timeout, this, [this, timerId] { OnTimer(timerId); });
    }
}

void CPellorinDlg::OnInitDialog() {
    // The About entry is not added here: Linux window managers do not let a program extend the
    // system menu, so the window offers it from its context menu (contextMenuEvent).
    setWindowIcon(AppIcon());
    FillPortList();
    // The display starts from the published numbers at zero: "0%", "0" and "0"; the time texts
    // start as "00:00" and the speed as "0 Blocks/Sec".
    m_counters.FlashPhase.store(kPhaseIdle);
    m_buttons->SetJobMode(kJobMcuUpdate);
    m_engine->Link.JobMode.store(kJobMcuUpdate);
    m_baudCombo->setCurrentIndex(kBaudItem19200);
    m_baudTyped = false;
    m_engine->Link.SetImageFolder(SavedImageFolder().toStdString());
    ShowImageFolders();
    UpdateDisplay();
    m_portCombo->setFocus();
}

void CPellorinDlg::FillPortList(const std::string& keepIdentity) {
    const int selected = m_ports.Refresh(keepIdentity);
    for (int index = 0; index < m_ports.Count(); ++index) {
        m_portCombo->insertItem(index, QString::fromStdString(m_ports.Name(index)));
        m_portCombo->setItemData(
            index,
            QString::fromStdString(
                m_ports.Entries()[static_cast<std::size_t>(index)].Description()),
            Qt::ToolTipRole);
    }
    // Item 0 (or the adapter kept) selected; with no port the list is empty, nothing is selected
    // and the field is empty.
    m_portCombo->setCurrentIndex(selected);
    m_portTyped = false;
    ShowPortDescription();
}

void CPellorinDlg::RefreshPortList() {
    if (m_shutDown || !m_portsChanged) return;
    // A job has the port: the list follows once the job has ended (EnableJobButtons).
    if (!m_jobButtons[0]->isEnabled()) return;
    m_portsChanged = false;
    const std::string identity = m_ports.Identity(SelectedPortEntry());
    const bool typed = m_portTyped;
    const QString typedText = m_portCombo->currentText();
    m_portCombo->clear();
    FillPortList(identity);
    if (typed) {
        m_portCombo->setCurrentIndex(-1);
        m_portCombo->setEditText(typedText);
        m_portTyped = true;
    }
}

void CPellorinDlg::ShowPortDescription() {
    m_portCombo->setToolTip(QString::fromStdString(m_ports.Description(SelectedPortEntry())));
}

void CPellorinDlg::WatchPorts() {
    connect(m_portCombo, &QComboBox::currentIndexChanged, this, [this] { ShowPortDescription(); });
    m_portRefresh = new QTimer(this);
    m_portRefresh->setSingleShot(true);
    connect(m_portRefresh, &QTimer::timeout, this, [this] { RefreshPortList(); });
    m_portWatch = std::make_unique<serial::PortWatch>();
    if (m_portWatch->Descriptor() < 0) return;
    m_portNotifier = new QSocketNotifier(m_portWatch->Descriptor(), QSocketNotifier::Read, this);
    connect(m_portNotifier, &QSocketNotifier::activated, this, [this] {
        if (!m_portWatch->TakeChanges()) return;
        m_portsChanged = true;
        m_portRefresh->start(kPortSettleMs);
    });
}

QWidget* CPellorinDlg::Control(int id) const {
    if (id == kNoId) return nullptr;
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

QTimer* CPellorinDlg::Timer(int timerId) const {
    if (timerId < 1 || timerId > static_cast<int>(m_timers.size())) return nullptr;
    return m_timers[static_cast<std::size_t>(timerId - 1)];
}

bool CPellorinDlg::TimerActive(int timerId) const {
    const QTimer* timer = Timer(timerId);
    return timer != nullptr && timer->isActive();
}

// ---- Commands --------------------------------------------------------------------------------

void CPellorinDlg::OnCommand(int id) {
    if (id == IDC_EXIT) {
        OnCancel();
        return;
    }
    m_buttons->OnCommand(id);
}

bool CPellorinDlg::ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) {
    const QString body = QString::fromStdString(text);
    const QString title = QString::fromStdString(caption);
    if (yesNo) return m_boxes->AskYesNo(this, body, title);
    m_boxes->Inform(this, body, title);
    return true;
}

void CPellorinDlg::SelectBaudItem(int index) {
    m_baudCombo->setCurrentIndex(index);
    m_baudTyped = false;
}

int CPellorinDlg::SelectedPortEntry() const {
    return m_portTyped ? -1 : m_portCombo->currentIndex();
}

std::string CPellorinDlg::TypedPortText() const {
    return m_portTyped ? m_portCombo->currentText().trimmed().toStdString() : std::string();
}

bool CPellorinDlg::JobButtonsEnabled() const { return m_jobButtons[0]->isEnabled(); }

void CPellorinDlg::SetJobButtonsEnabled(bool enable) {
    for (QPushButton* button : m_jobButtons) button->setEnabled(enable);
}

void CPellorinDlg::OnCancel() {
    ShutDown();
    QDialog::reject();
}

void CPellorinDlg::reject() { OnCancel(); }

void CPellorinDlg::accept() { m_buttons->OnOK(); }

void CPellorinDlg::ShutDown() {
    if (m_shutDown) return;
    m_shutDown = true;
    // Order matters: first no worker call may wait for this thread any more, then the engine
    // stops the worker (its pauses and reply waits end on the stop request), closes the port and
    // joins the worker and the listener; only then may the window go.
    m_windowCall.Close();
    if (m_buttons) m_buttons->Close();
    for (QTimer* timer : m_timers) timer->stop();
    if (m_portRefresh) m_portRefresh->stop();
    if (m_portNotifier) m_portNotifier->setEnabled(false);
    if (m_engine) m_engine->Link.Shutdown();
    m_target.Detach();
}

void CPellorinDlg::OnAbout() {
    CAboutBox about(this);
    about.exec();
}

void CPellorinDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The window's menu stands in for the system menu, which Linux window managers do not let a
    // program extend: the About entry, then the operator's conveniences.
    ShowMenu(event->globalPos(), true);
}

void CPellorinDlg::ShowMenu(const QPoint& where, bool windowMenu) {
    QMenu menu(this);
    menu.setToolTipsVisible(true);
    QAction* about = nullptr;
    if (windowMenu) {
        about = menu.addAction(Text("关于 Pellorin(&A)..."));
        about->setData(kAboutCommand);
        menu.addSeparator();
    }
    QAction* imageFolder = menu.addAction(Text("Image folder…"));
    const QString folder = QString::fromStdString(m_engine->Link.ImageFolder());
    imageFolder->setToolTip(
        folder.isEmpty() ? Text("None chosen: the images are looked for beside the program")
                         : Text("Images not beside the program are looked for in ") + folder);
    QAction* copyLog = menu.addAction(Text("Copy log"));
    QAction* saveLog = menu.addAction(Text("Save log…"));
    QAction* openRecords = menu.addAction(Text("Open records folder"));
    openRecords->setToolTip(QString::fromStdString(m_engine->Link.Record.Folder()));
    QAction* chosen = menu.exec(where);
    if (chosen == nullptr || m_shutDown) return;
    if (chosen == about) OnAbout();
    if (chosen == imageFolder) OnImageFolder();
    if (chosen == copyLog) OnCopyLog();
    if (chosen == saveLog) OnSaveLog();
    if (chosen == openRecords) OnOpenRecordsFolder();
}

void CPellorinDlg::OnImageFolder() {
    QString start = QString::fromStdString(m_engine->Link.ImageFolder());
    if (start.isEmpty()) start = QDir::homePath();
    const QString folder = m_dialogs->ChooseFolder(this, Text("Image folder"), start);
    if (folder.isEmpty()) return;
    SaveImageFolder(folder);
    m_engine->Link.SetImageFolder(folder.toStdString());
    ShowImageFolders();
}

void CPellorinDlg::ShowImageFolders() {
    const QString text =
        QString::fromStdString(ImageFoldersText(m_engine->Link.ImageSearchFolders()));
    m_imageFoldersText = text;
    // A long path keeps its beginning and its end; the tooltip has it whole.
    m_imageFolders->setText(
        m_imageFolders->fontMetrics().elidedText(text, Qt::ElideMiddle, m_imageFolders->width()));
    m_imageFolders->setToolTip(text + Text("\nAnother folder: \"Image folder…\" ") +
                               Text(kHowToChooseFolder));
}

QString CPellorinDlg::ImageFoldersShown() const { return m_imageFoldersText; }

QStringList CPellorinDlg::LogWithTimes() const {
    QStringList lines;
    const int count = m_logList->count();
    for (int i = count - 1; i >= 0; --i) {
        const std::size_t age = static_cast<std::size_t>(count - 1 - i);
        const QString time =
            age < m_logTimes.size()
                ? m_logTimes[age].toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                : QString();
        lines << time + QStringLiteral("  ") + m_logList->item(i)->text();
    }
    return lines;
}

void CPellorinDlg::OnCopyLog() {
    QString text;
    for (const QString& line : LogWithTimes()) text += line + QLatin1Char('\n');
    QGuiApplication::clipboard()->setText(text);
}

void CPellorinDlg::OnSaveLog() {
    const QString suggested =
        QDir::homePath() + QStringLiteral("/pellorin-log-") +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
        QStringLiteral(".txt");
    const QString path = m_dialogs->ChooseSaveFile(this, Text("Save log"), suggested);
    if (path.isEmpty()) return;
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const QString& line : LogWithTimes()) {
        if (!written) break;
        written = file.write((line + QLatin1Char('\n')).toUtf8()) >= 0;
    }
    if (written && file.commit()) return;
    m_boxes->Inform(this, Text("The log could not be saved to ") + path, Text(kApplicationName));
}

void CPellorinDlg::OnOpenRecordsFolder() {
    const QString folder = QString::fromStdString(m_engine->Link.Record.Folder());
    // The folder exists once a job has run; a file manager cannot show one that does not.
    QDir().mkpath(folder);
    if (m_dialogs->OpenFolder(folder)) return;
    m_boxes->Inform(this, Text("The update records are kept in ") + folder, Text(kApplicationName));
}

void CPellorinDlg::OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_shutDown) return;
    if (message == m_serialMessage) {
        m_engine->Link.OnSerialMessage(wParam, lParam);
    } else if (message == kWmCommand) {
        OnCommand(static_cast<int>(wParam & 0xFFFFu));
    }
}

// ---- Timers and display ----------------------------------------------------------------------

void CPellorinDlg::OnTimer(int timerId) {
    if (timerId == kEraseTimer) {
        m_counters.BarPosition.store(m_display.OnEraseTick());
    } else if (timerId == kProgramTimer) {
        if (m_display.OnProgramTick(platform::timeGetTime()) && m_sound) m_sound->Play();
    }
    UpdateDisplay();
}

void CPellorinDlg::UpdateDisplay() {
    // The worker moves the bar's position after every block without waiting for this thread;
    // it is shown here, with the texts.
    m_progressBar->setValue(m_counters.BarPosition.load());
    // A text wider than its field shows its beginning, as a read-only field does after its text
    // was set.
    const auto show = [](QLineEdit* field, const std::string& text) {
        const QString value = QString::fromStdString(text);
        if (field->text() == value) return;
        field->setText(value);
        field->setCursorPosition(0);
    };
    show(m_totalBlocksText, m_display.TotalBlocksText());
    show(m_elapsedText, m_display.ElapsedText());
    show(m_remainText, m_display.RemainText());
    show(m_speedText, m_display.SpeedText());
    m_percentText->setText(QString::fromStdString(m_display.PercentText()).left(kMaxPercentChars));
    show(m_writtenBlocksText, m_display.WrittenBlocksText());
}

// ---- Console ---------------------------------------------------------------------------------

void CPellorinDlg::InsertLogLine(const std::string& line) {
    m_windowCall.Run([this, text = QString::fromStdString(line)] {
        m_logList->insertItem(0, text);
        m_logTimes.push_back(QDateTime::currentDateTime());
    });
}

void CPellorinDlg::SetProgressRange(int lower, int upper) {
    m_windowCall.Run([this, lower, upper] { m_progressBar->setRange(lower, upper); });
}

void CPellorinDlg::SetProgressPos(int position) {
    m_windowCall.Run([this, position] {
        m_counters.BarPosition.store(position);
        m_progressBar->setValue(position);
    });
}

void CPellorinDlg::StartTimer(int timerId, unsigned periodMs) {
    m_windowCall.Run([this, timerId, periodMs] {
        QTimer* timer = Timer(timerId);
        if (timer == nullptr) return;
        // The period is in program milliseconds; a scaled clock shortens it in real time.
        const auto real =
            std::chrono::duration_cast<std::chrono::milliseconds>(platform::RealDuration(periodMs));
        timer->start(std::max(real, std::chrono::milliseconds(1)));
    });
}

void CPellorinDlg::StopTimer(int timerId) {
    m_windowCall.Run([this, timerId] {
        if (QTimer* timer = Timer(timerId)) timer->stop();
        if (timerId == kProgramTimer && m_display.OnProgramTimerStopped() && m_sound)
            m_sound->Play();
    });
}

void CPellorinDlg::EnableJobButtons(bool enable) {
    m_windowCall.Run([this, enable] {
        for (QPushButton* button : m_jobButtons) button->setEnabled(enable);
        if (enable) ShowImageFolders();
        // Adapters plugged in or out during the job show now.
        if (enable && m_portsChanged && m_portRefresh) m_portRefresh->start(0);
    });
}

int CPellorinDlg::SelectedBaudIndex() {
    // Shared, not on this stack: a worker released by the closing does not wait for the call.
    auto index = std::make_shared<int>(-1);
    m_windowCall.Run([this, index] { *index = m_baudTyped ? -1 : m_baudCombo->currentIndex(); });
    return *index;
}

void CPellorinDlg::ImageNotFound(const std::string& fileName,
                                 const std::vector<std::string>& folders) {
    const std::string text = ImageNotFoundMessage(fileName, folders, kHowToChooseFolder) +
                             "\n\nChoose the image folder now?";
    m_windowCall.Run([this, message = QString::fromStdString(text)] {
        if (m_boxes->AskYesNo(this, message, Text(kApplicationName))) OnImageFolder();
    });
}

void CPellorinDlg::ShowMessage(const std::string& text) {
    m_windowCall.Run([this, message = QString::fromStdString(text)] {
        m_boxes->Inform(this, message, Text(kApplicationName));
    });
}

bool CPellorinDlg::StopRequested() const { return m_windowCall.Closing(); }

}  // namespace pellorin
