// The operator's window, driven through its controls on the offscreen platform, with the
// simulated inverter (or a bare pseudo-terminal) behind PELLORIN_COM_DIR.
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "SerialLib/Serial/Serial.h"
#include "app/AboutBox.h"
#include "app/DialogUnits.h"
#include "app/EndSound.h"
#include "app/FileDialogs.h"
#include "app/MessageBoxes.h"
#include "app/PellorinDlg.h"
#include "app/UserSettings.h"
#include "flash/UpdateEngine.h"
#include "platform/Clock.h"
#include "sim/HexGen.h"
#include "sim/PseudoTerminal.h"
#include "sim/SimInverter.h"
#include "tests/support/NetworkServers.h"

using namespace pellorin;

namespace {

constexpr double kClockScale = 10;    // program ms per real ms: a whole update in about a second
constexpr int kJobTimeoutMs = 15000;  // real ms; generous for sanitizer builds

const QString kImageDir = QStringLiteral(PELLORIN_IMAGE_DIR);

struct BoxLog {
    QList<QPair<QString, QString>> shown;  // (caption, text) of every box, questions included
    int questions = 0;
    bool answerYes = false;
};

class RecordingBoxes : public MessageBoxes {
  public:
    explicit RecordingBoxes(std::shared_ptr<BoxLog> log) : m_log(std::move(log)) {}
    void Inform(QWidget*, const QString& text, const QString& caption) override {
        m_log->shown.append({caption, text});
    }
    bool AskYesNo(QWidget*, const QString& text, const QString& caption) override {
        m_log->shown.append({caption, text});
        ++m_log->questions;
        return m_log->answerYes;
    }

  private:
    std::shared_ptr<BoxLog> m_log;
};

class CountingSound : public EndSound {
  public:
    explicit CountingSound(std::shared_ptr<std::atomic<int>> plays) : m_plays(std::move(plays)) {}
    void Play() override { ++*m_plays; }

  private:
    std::shared_ptr<std::atomic<int>> m_plays;
};

struct DialogLog {
    QString folderToChoose;  // what the folder chooser answers
    QString saveTo;          // what the save chooser answers
    bool fileManager = true;
    QStringList opened;  // folders shown in the file manager
};

class AnsweringDialogs : public FileDialogs {
  public:
    explicit AnsweringDialogs(std::shared_ptr<DialogLog> log) : m_log(std::move(log)) {}
    QString ChooseFolder(QWidget*, const QString&, const QString&) override {
        return m_log->folderToChoose;
    }
    QString ChooseSaveFile(QWidget*, const QString&, const QString&) override {
        return m_log->saveTo;
    }
    bool OpenFolder(const QString& folder) override {
        m_log->opened << folder;
        return m_log->fileManager;
    }

  private:
    std::shared_ptr<DialogLog> m_log;
};

// A window as the program builds it, with answered boxes and a counted end sound, looking for
// its images in the demo image folder.
struct TestWindow {
    TestWindow() {
        window = std::make_unique<CPellorinDlg>();
        window->SetMessageBoxes(std::make_unique<RecordingBoxes>(boxes));
        window->SetEndSound(std::make_unique<CountingSound>(sounds));
        window->SetFileDialogs(std::make_unique<AnsweringDialogs>(dialogs));
        window->Engine().Link.ModulePath = (kImageDir + QStringLiteral("/Pellorin")).toStdString();
        window->show();
    }

    template <class T = QWidget>
    T* Get(int id) const {
        return qobject_cast<T*>(window->Control(id));
    }
    QString Text(int id) const { return Get<QLineEdit>(id)->text(); }
    // The log, top (newest) line first.
    QStringList Log() const {
        QStringList lines;
        auto* list = Get<QListWidget>(IDC_LOG_LIST);
        for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
        return lines;
    }
    bool LogHas(const QString& prefix) const {
        for (const QString& line : Log())
            if (line.startsWith(prefix)) return true;
        return false;
    }
    // A job has ended once its worker is gone and the buttons are enabled again.
    bool JobEnded() const {
        return !window->Engine().Link.JobRunning() && Get(IDC_UPDATE_DSP)->isEnabled();
    }

    std::shared_ptr<BoxLog> boxes = std::make_shared<BoxLog>();
    std::shared_ptr<std::atomic<int>> sounds = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<DialogLog> dialogs = std::make_shared<DialogLog>();
    std::unique_ptr<CPellorinDlg> window;
};

// Opens the window's context menu (or with `onLog` the log's) and clicks the entry `text` (none
// for ""), from inside the menu's own loop as an operator would. Returns each entry's tooltip by
// its text.
QMap<QString, QString> ClickContextEntry(CPellorinDlg& w, const QString& text, bool onLog = false) {
    QMap<QString, QString> tooltips;
    QTimer::singleShot(0, &w, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            tooltips[action->text()] = action->toolTip();
            if (action->text() == text) chosen = action;
        }
        if (chosen == nullptr) {
            menu->close();
            return;
        }
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
    });
    if (onLog) {
        auto* log = qobject_cast<QListWidget*>(w.Control(IDC_LOG_LIST));
        emit log->customContextMenuRequested(QPoint(5, 5));
        return tooltips;
    }
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&w, &event);
    return tooltips;
}

// True when `expected` appear in `lines` in this order (each matched as a line's beginning).
bool InOrder(const QStringList& lines, const QStringList& expected) {
    int next = 0;
    for (const QString& line : lines)
        if (next < expected.size() && line.startsWith(expected[next])) ++next;
    return next == expected.size();
}

// Runs the event loop until `done` holds or timeoutMs (real) have passed. Unlike a sleep-and-poll
// wait, the window thread handles every posted message the moment it arrives, as in the program.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(2);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// The lines of an image: its blocks.
int ImageLines(const QString& name) {
    QFile file(kImageDir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly)) return -1;
    return static_cast<int>(file.readAll().count('\n'));
}

QStringList Reversed(QStringList lines) {
    std::reverse(lines.begin(), lines.end());
    return lines;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        QVERIFY(m_comDir.isValid());
        // Each case starts with an empty port folder of its own.
        for (const auto& entry : std::filesystem::directory_iterator(m_comDir.path().toStdString()))
            std::filesystem::remove(entry.path());
        qputenv("PELLORIN_COM_DIR", m_comDir.path().toLocal8Bit());
    }

    void initialState();
    void layoutFollowsTheTemplateInDialogUnits();
    void aboutEntryOfTheContextMenuOpensTheAboutBox();
    void portListIsInNumericOrderFromZeroToTwentyNine();
    void portListFollowsAdaptersAndSaysWhatEachIsOrWhyItIsMissing();
    void everyJobButtonWithoutAPortSaysSo();
    void resetEepromAsksFirstAndOnlyOpensThePort();
    void fullUpdateThroughTheWindow_data();
    void fullUpdateThroughTheWindow();
    void dspImageWithoutVerificationRecordIsRefused();
    void exitDuringAJob_data();
    void exitDuringAJob();
    void workerCallsRunOnTheWindowThreadAndEndOnClose();
    void enterIsUpdateDspAndEscIsExit();
    void timerTicksShowTheDisplayAndAskForTheSoundOnce();
    void saveAndCopyLogGiveTheLinesOldestFirstWithTheirTimes();
    void imageFolderIsChosenRememberedAndShown();
    void missingImageSaysWhereItLookedAndOffersTheFolderChooser();
    void updateThroughATypedRemotePortWhichIsOfferedAgain();

  private:
    std::unique_ptr<sim::SimInverter> StartSim(sim::Options options) {
        options.comDir = m_comDir.path().toStdString();
        options.comNumber = 1;
        auto device = std::make_unique<sim::SimInverter>(options);
        if (!device->Start()) return nullptr;
        return device;
    }

    QTemporaryDir m_comDir;
};

void WindowTest::initialState() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    QCOMPARE(w.windowTitle(), QStringLiteral("Pellorin"));
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(32, 32)));
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(16, 16)));
    // Every control with an id is there, of its kind.
    for (int id : {IDC_UPDATE_DSP, IDC_EXIT, IDC_UPDATE_MCU, IDC_READ_VERSION, IDC_RESET_EEPROM})
        QVERIFY2(t.Get<QPushButton>(id), qPrintable(QString::number(id)));
    for (int id : {IDC_TOTAL_BLOCKS, IDC_WRITTEN_BLOCKS, IDC_ELAPSED_TEXT, IDC_REMAIN_TEXT,
                   IDC_SPEED_TEXT, IDC_CURRENT_ID}) {
        QVERIFY2(t.Get<QLineEdit>(id) && t.Get<QLineEdit>(id)->isReadOnly(),
                 qPrintable(QString::number(id)));
    }
    QVERIFY(t.Get<QComboBox>(IDC_PORT_COMBO)->isEditable());
    QVERIFY(t.Get<QComboBox>(IDC_BAUD_COMBO)->isEditable());

    // The initial displays.
    QCOMPARE(t.Get<QLabel>(IDC_PERCENT_TEXT)->text(), QStringLiteral("0%"));
    QCOMPARE(t.Text(IDC_ELAPSED_TEXT), QStringLiteral("00:00"));
    QCOMPARE(t.Text(IDC_REMAIN_TEXT), QStringLiteral("00:00"));
    QCOMPARE(t.Text(IDC_SPEED_TEXT), QStringLiteral("0 Blocks/Sec"));
    QCOMPARE(t.Text(IDC_TOTAL_BLOCKS), QStringLiteral("0"));
    QCOMPARE(t.Text(IDC_WRITTEN_BLOCKS), QStringLiteral("0"));
    QVERIFY(t.Log().isEmpty());
    auto* bar = t.Get<QProgressBar>(IDC_PROGRESS_BAR);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);

    // The speed field: the four items in order (blanks first), "19200" selected.
    auto* baud = t.Get<QComboBox>(IDC_BAUD_COMBO);
    QStringList items;
    for (int i = 0; i < baud->count(); ++i) items << baud->itemText(i);
    QCOMPARE(items, (QStringList{" 4800", " 9600", "19200", "38400"}));
    QCOMPARE(w.SelectedBaudIndex(), 2);

    // No port in the folder: an empty list, nothing selected, an empty field.
    auto* ports = t.Get<QComboBox>(IDC_PORT_COMBO);
    QCOMPARE(ports->count(), 0);
    QCOMPARE(ports->currentIndex(), -1);
    QCOMPARE(ports->currentText(), QString());

    // Hidden and disabled states; the job state after initialisation.
    QVERIFY(t.Get(IDC_READ_VERSION)->isHidden());
    QVERIFY(!t.Get(IDC_READ_VERSION)->isEnabled());
    QVERIFY(t.Get(IDC_RESET_EEPROM)->isHidden());
    QVERIFY(!t.Get(IDC_RESET_EEPROM)->isEnabled());
    QVERIFY(t.Get(IDC_CURRENT_ID)->isHidden());
    QVERIFY(w.findChild<QLabel*>(QStringLiteral("static:Current ID:"))->isHidden());
    QVERIFY(t.Get(IDC_UPDATE_DSP)->isEnabled() && t.Get(IDC_UPDATE_MCU)->isEnabled());
    QCOMPARE(w.JobMode(), 1);
    QCOMPARE(w.Counters().FlashPhase.load(), 0);
    QVERIFY(!w.TimerActive(1) && !w.TimerActive(2));
}

void WindowTest::layoutFollowsTheTemplateInDialogUnits() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    // The closest installed CJK font, 9 points at 96 dpi.
    const QString family = QFontInfo(w.font()).family();
    QVERIFY2(family.contains(QStringLiteral("WenQuanYi")) ||
                 family.contains(QStringLiteral("宋体")) ||
                 family.contains(QStringLiteral("SimSun")),
             qPrintable(family));
    QCOMPARE(w.font().pixelSize(), 12);

    // Dialog units from the font's average character width and height.
    const QFontMetrics metrics(w.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int cw = (letters / 26 + 1) / 2;
    const int ch = metrics.height();
    QCOMPARE(w.size(), QSize(401 * cw / 4, 211 * ch / 8));
    QCOMPARE(t.Get(IDC_UPDATE_DSP)->geometry(),
             QRect(17 * cw / 4, 129 * ch / 8, 105 * cw / 4, 31 * ch / 8));

    // Tab order: the template's order of the visible tab stops.
    QList<int> order;
    QWidget* widget = t.Get(IDC_PORT_COMBO);
    for (int guard = 0; guard < 200; ++guard) {
        const int id = widget->property("controlId").toInt();
        if (id > 0 && widget->isVisible() && (widget->focusPolicy() & Qt::TabFocus)) {
            if (!order.isEmpty() && id == order.first()) break;
            order << id;
        }
        widget = widget->nextInFocusChain();
    }
    QCOMPARE(order, (QList<int>{IDC_PORT_COMBO, IDC_UPDATE_DSP, IDC_EXIT, IDC_LOG_LIST,
                                IDC_TOTAL_BLOCKS, IDC_WRITTEN_BLOCKS, IDC_ELAPSED_TEXT,
                                IDC_REMAIN_TEXT, IDC_SPEED_TEXT, IDC_UPDATE_MCU, IDC_BAUD_COMBO}));
}

void WindowTest::aboutEntryOfTheContextMenuOpensTheAboutBox() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    QString entry;
    QStringList aboutTexts;
    // The menu and the box run loops of their own: act from inside them, as an operator would.
    QTimer::singleShot(0, &w, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        entry = menu->actions().value(0)->text();
        QTimer::singleShot(0, &w, [&] {
            auto* about = dynamic_cast<CAboutBox*>(QApplication::activeModalWidget());
            if (about == nullptr) return;
            aboutTexts << about->windowTitle();
            for (QLabel* label : about->findChildren<QLabel*>())
                if (!label->text().isEmpty()) aboutTexts << label->text();
            auto* ok = about->findChild<QPushButton*>(QStringLiteral("1"));
            aboutTexts << ok->text();
            ok->click();
        });
        QTest::keyClick(menu, Qt::Key_A);  // the entry's mnemonic
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&w, &event);

    QCOMPARE(entry, QStringLiteral("关于 Pellorin(&A)..."));
    QCOMPARE(aboutTexts.size(), 4);  // the title, two lines and the button
    QCOMPARE(aboutTexts[0], QStringLiteral("关于 Pellorin"));
    QVERIFY(aboutTexts.contains(QStringLiteral("Pellorin 1.0 版")));
    QCOMPARE(aboutTexts[3], QStringLiteral("确定"));
    // Back to the main window, unchanged.
    QVERIFY(w.isVisible());
    QVERIFY(!w.StopRequested());
    QVERIFY(t.Log().isEmpty());
    QVERIFY(t.boxes->shown.isEmpty());
}

void WindowTest::portListIsInNumericOrderFromZeroToTwentyNine() {
    sim::PseudoTerminal line;
    QVERIFY(line.Ok());
    const QString dir = m_comDir.path();
    for (int n : {30, 10, 2, 29, 0, 31})
        QVERIFY(line.LinkAs((dir + QStringLiteral("/com%1").arg(n)).toStdString()));
    // A link that leads nowhere is no port.
    std::filesystem::create_symlink("/nonexistent/tty",
                                    (dir + QStringLiteral("/com5")).toStdString());

    TestWindow t;
    auto* ports = t.Get<QComboBox>(IDC_PORT_COMBO);
    QStringList names;
    for (int i = 0; i < ports->count(); ++i) names << ports->itemText(i);
    QCOMPARE(names, (QStringList{"COM0", "COM2", "COM10", "COM29"}));
    QCOMPARE(ports->currentIndex(), 0);
    QCOMPARE(ports->currentText(), QStringLiteral("COM0"));
}

void WindowTest::portListFollowsAdaptersAndSaysWhatEachIsOrWhyItIsMissing() {
    sim::PseudoTerminal line;
    QVERIFY(line.Ok());
    TestWindow t;
    auto* ports = t.Get<QComboBox>(IDC_PORT_COMBO);
    QCOMPARE(ports->count(), 0);

    // Plugged in while the window is open: listed and selected, with its device in the tooltip.
    const std::string com4 = (m_comDir.path() + QStringLiteral("/com4")).toStdString();
    QVERIFY(line.LinkAs(com4));
    QVERIFY(WaitUntil([&] { return ports->count() == 1; }, 5000));
    QCOMPARE(ports->currentText(), QStringLiteral("COM4"));
    QCOMPARE(ports->toolTip(), QString::fromStdString(com4 + " (" + line.SlavePath() + ")"));
    std::filesystem::remove(com4);
    QVERIFY(WaitUntil([&] { return ports->count() == 0; }, 5000));

    // A port that another holder has locked is not offered, and a job button says who has it.
    CSerial holder;
    QCOMPARE(holder.Open(line.SlavePath().c_str()), ERROR_SUCCESS);
    const std::string com6 = (m_comDir.path() + QStringLiteral("/com6")).toStdString();
    QVERIFY(line.LinkAs(com6));
    const std::string reason = "in use by app_tests (PID " + std::to_string(getpid()) + ")";
    QVERIFY(WaitUntil([&] { return ports->toolTip() == QString::fromStdString("COM6: " + reason); },
                      5000));
    QCOMPARE(ports->count(), 0);
    t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
    QCOMPARE(t.boxes->shown.last().second,
             QString::fromStdString("Canot find serial interface!\nCOM6 (" + com6 + " (" +
                                    line.SlavePath() + ")): " + reason));
    // Let go: the next look at the list offers it.
    holder.Close();
    ports->showPopup();
    QCOMPARE(ports->currentText(), QStringLiteral("COM6"));
    ports->hidePopup();
}

void WindowTest::everyJobButtonWithoutAPortSaysSo() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    t.boxes->answerYes = true;
    auto* baud = t.Get<QComboBox>(IDC_BAUD_COMBO);
    baud->setCurrentIndex(0);
    const QPair<QString, QString> noPort{QStringLiteral("Pellorin"),
                                         QStringLiteral("Canot find serial interface!")};

    t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
    QCOMPARE(t.boxes->shown.size(), 1);
    QCOMPARE(t.boxes->shown.last(), noPort);
    QCOMPARE(w.JobMode(), 2);
    QVERIFY(w.NegotiateBaud());
    QCOMPARE(baud->currentIndex(), 0);

    // "Update MCU" still switches the speed field to "19200".
    t.Get<QPushButton>(IDC_UPDATE_MCU)->click();
    QCOMPARE(t.boxes->shown.size(), 2);
    QCOMPARE(t.boxes->shown.last(), noPort);
    QCOMPARE(w.JobMode(), 1);
    QCOMPARE(baud->currentIndex(), 2);
    QCOMPARE(baud->currentText(), QStringLiteral("19200"));

    // The hidden buttons, reached through their commands.
    w.OnCommand(IDC_READ_VERSION);
    QCOMPARE(t.boxes->shown.last(), noPort);
    QCOMPARE(w.JobMode(), 6);
    QVERIFY(!w.NegotiateBaud());
    w.OnCommand(IDC_RESET_EEPROM);  // the question, answered Yes, then the same message
    QCOMPARE(t.boxes->questions, 1);
    QCOMPARE(t.boxes->shown.last(), noPort);
    QCOMPARE(w.JobMode(), 7);

    // Nothing was started; the buttons are as they were.
    QVERIFY(!w.Engine().Link.JobRunning());
    QVERIFY(t.Log().isEmpty());
    QVERIFY(t.Get(IDC_UPDATE_DSP)->isEnabled());
    QVERIFY(t.Get(IDC_UPDATE_MCU)->isEnabled());
}

void WindowTest::resetEepromAsksFirstAndOnlyOpensThePort() {
    sim::PseudoTerminal line;
    QVERIFY(line.Ok());
    QVERIFY(line.LinkAs((m_comDir.path() + QStringLiteral("/com1")).toStdString()));
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    CPellorinDlg& w = *t.window;

    t.boxes->answerYes = false;
    w.OnCommand(IDC_RESET_EEPROM);
    QCOMPARE(t.boxes->questions, 1);
    QCOMPARE(t.boxes->shown.last().first, QStringLiteral("This action will reset EEPROM"));
    QCOMPARE(t.boxes->shown.last().second,
             QStringLiteral(" Please do this action only inverter always report 17 fault after "
                            "Update MCU,Continue ? "));
    // No changes nothing.
    QCOMPARE(w.JobMode(), 1);
    QVERIFY(!w.Engine().Link.JobRunning());
    QVERIFY(t.Log().isEmpty());

    t.boxes->answerYes = true;
    w.OnCommand(IDC_RESET_EEPROM);
    QCOMPARE(w.JobMode(), 7);
    QVERIFY(!w.NegotiateBaud());
    QCOMPARE(w.PortName(), std::string("COM1"));
    QVERIFY(WaitUntil([&] { return t.LogHas(QStringLiteral("Connecting")); }, kJobTimeoutMs));
    QCOMPARE(line.SlaveBaud(), 2400u);  // opened at the contact speed and left there
    QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));
    QCOMPARE(t.Log(), (QStringList{"Com was closed", "Connecting.........."}));
    QCOMPARE(line.ReadMaster(50), std::string());  // nothing was written
    QCOMPARE(t.boxes->questions, 2);
    QCOMPARE(t.boxes->shown.size(), 2);  // the two questions and no other box
    QVERIFY(t.Get(IDC_RESET_EEPROM)->isHidden());
    QVERIFY(!t.Get(IDC_RESET_EEPROM)->isEnabled());
}

void WindowTest::fullUpdateThroughTheWindow_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("button");
    QTest::newRow("DSP") << QStringLiteral("dsp.hex") << int(IDC_UPDATE_DSP);
    QTest::newRow("MCU") << QStringLiteral("mcu.hex") << int(IDC_UPDATE_MCU);
}

void WindowTest::fullUpdateThroughTheWindow() {
    QFETCH(QString, image);
    QFETCH(int, button);
    sim::Options options;
    options.eraseTimeMs = 0;
    options.expectImage = (kImageDir + QLatin1Char('/') + image).toStdString();
    auto device = StartSim(options);
    QVERIFY(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    QCOMPARE(t.Get<QComboBox>(IDC_PORT_COMBO)->currentText(), QStringLiteral("COM1"));
    auto* baud = t.Get<QComboBox>(IDC_BAUD_COMBO);
    baud->setCurrentIndex(3);
    const int blocks = ImageLines(image);
    QVERIFY(blocks > 1000);
    const QString total = QString::number(blocks);

    t.Get<QPushButton>(button)->click();
    // The buttons went grey before the worker ran; "Update MCU" chose "19200".
    QVERIFY(!t.Get(IDC_UPDATE_DSP)->isEnabled());
    QVERIFY(!t.Get(IDC_UPDATE_MCU)->isEnabled());
    QVERIFY(t.Get(IDC_EXIT)->isEnabled());
    QCOMPARE(baud->currentIndex(), button == IDC_UPDATE_MCU ? 2 : 3);
    QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));

    // The log, newest on top, in the order of the run.
    const QStringList log = t.Log();
    QCOMPARE(log.first(), QStringLiteral("Com was closed"));
    QCOMPARE(log.last(), QStringLiteral("COM1 was opened!"));
    QVERIFY2(InOrder(Reversed(log),
                     {"COM1 was opened!", "Connecting..........", "Total blocks:" + total,
                      "Ereasing flash.............", "Ereased flash ok!", "Erase case time:",
                      "Program flash..........", "Verify flash data...............",
                      "Verify flash data ok!", "Reflash  case time:", "Com was closed"}),
             qPrintable(log.join(QStringLiteral(" | "))));

    // The bar and the fields at the end; the end sound asked for once.
    auto* bar = t.Get<QProgressBar>(IDC_PROGRESS_BAR);
    QCOMPARE(bar->maximum(), blocks);
    QCOMPARE(bar->value(), blocks);
    QCOMPARE(t.Text(IDC_TOTAL_BLOCKS), total);
    QCOMPARE(t.Text(IDC_WRITTEN_BLOCKS), total);
    QCOMPARE(t.Get<QLabel>(IDC_PERCENT_TEXT)->text(), QStringLiteral("100%"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d$"))
                .match(t.Text(IDC_ELAPSED_TEXT))
                .hasMatch());
    QVERIFY(t.Text(IDC_SPEED_TEXT).endsWith(QStringLiteral(" Blocks/Sec")));
    QCOMPARE(t.sounds->load(), 1);
    QVERIFY(!t.window->TimerActive(1) && !t.window->TimerActive(2));
    QVERIFY(t.boxes->shown.isEmpty());

    // The hidden controls stay hidden after a job; 1035 is enabled again but unseen.
    QVERIFY(t.Get(IDC_READ_VERSION)->isHidden());
    QVERIFY(t.Get(IDC_READ_VERSION)->isEnabled());
    QVERIFY(t.Get(IDC_RESET_EEPROM)->isHidden());
    QVERIFY(!t.Get(IDC_RESET_EEPROM)->isEnabled());
    QVERIFY(t.Get(IDC_CURRENT_ID)->isHidden());

    const sim::Summary summary = device->GetSummary();
    QVERIFY(summary.imageMatches);
    QVERIFY2(summary.violations.empty(),
             summary.violations.empty() ? "" : summary.violations[0].c_str());
}

void WindowTest::dspImageWithoutVerificationRecordIsRefused() {
    // Without its record at 7FFE the DSP would never be asked for its sum: refused as a damaged
    // image is, before the device is entered, with no end sound.
    QTemporaryDir images;
    sim::HexImageOptions image;
    image.records = 20;
    std::string text;
    for (const std::string& line : sim::MakeHexImageLines(image)) text += line + "\n";
    QFile file(images.filePath(QStringLiteral("dsp.hex")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.data(), static_cast<qint64>(text.size()));
    file.close();
    sim::Options options;
    auto device = StartSim(options);
    QVERIFY(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    t.window->Engine().Link.ModulePath = images.filePath(QStringLiteral("Pellorin")).toStdString();

    t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
    QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));
    const QStringList log = t.Log();
    QCOMPARE(log.mid(0, 3),
             (QStringList{QStringLiteral("Com was closed"),
                          QStringLiteral("dsp.hex: no verification record (address 7FFE): the DSP "
                                         "would never be asked for its sum"),
                          QStringLiteral("Total blocks:21")}));
    QCOMPARE(device->ReceivedLines(), (std::vector<std::string>{"^S008BAUD192", "SV"}));
    QCOMPARE(t.sounds->load(), 0);
}

void WindowTest::exitDuringAJob_data() {
    QTest::addColumn<QString>("phase");
    QTest::newRow("erase") << QStringLiteral("erase");
    QTest::newRow("programming") << QStringLiteral("programming");
    QTest::newRow("verification") << QStringLiteral("verification");
}

void WindowTest::exitDuringAJob() {
    QFETCH(QString, phase);
    sim::Options options;
    options.eraseTimeMs = 0;
    if (phase == QStringLiteral("erase")) {
        // A device that answers the state query only once the erase is over.
        options.eraseTimeMs = 600000;
        options.stBeforeErased = sim::Options::BeforeErased::Silent;
    }
    if (phase == QStringLiteral("programming")) options.blockWriteTimeMs = 20;
    if (phase == QStringLiteral("verification")) options.faults.neverAnswer = {"SUM"};
    auto device = StartSim(options);
    QVERIFY(device);
    platform::ScopedClockScale scale(kClockScale);
    auto t = std::make_unique<TestWindow>();
    CPellorinDlg& w = *t->window;

    t->Get<QPushButton>(IDC_UPDATE_DSP)->click();
    if (phase == QStringLiteral("erase")) {
        QVERIFY(WaitUntil([&] { return w.TimerActive(1); }, kJobTimeoutMs));
    } else if (phase == QStringLiteral("programming")) {
        QVERIFY(WaitUntil([&] { return w.Counters().WrittenBlocks.load() >= 20; }, kJobTimeoutMs));
        QVERIFY(w.TimerActive(2));
    } else {
        QVERIFY(WaitUntil([&] { return t->LogHas(QStringLiteral("Verify flash data....")); },
                          kJobTimeoutMs));
    }
    QVERIFY(w.Engine().Link.JobRunning());

    QElapsedTimer clock;
    clock.start();
    t->Get<QPushButton>(IDC_EXIT)->click();
    const qint64 exitMs = clock.elapsed();
    qInfo("Exit during %s returned after %lld ms", qPrintable(phase), exitMs);

    // The window has closed, the worker has ended, the port is closed, the timers stopped.
    QVERIFY(!w.isVisible());
    QCOMPARE(w.result(), int(QDialog::Rejected));
    QVERIFY(!w.Engine().Link.JobRunning());
    QVERIFY(!w.Engine().Link.Port.IsOpen());
    QVERIFY(!w.TimerActive(1));
    QVERIFY(!w.TimerActive(2));
    QVERIFY(w.StopRequested());
    const QStringList log = t->Log();
    QTest::qWait(100);  // late listener messages or worker calls would land now
    QCOMPARE(t->Log(), log);
    QVERIFY(!log.contains(QStringLiteral("Com was closed")));  // the job was abandoned
    // Nothing is used after the window is gone (the sanitizer builds watch this).
    t.reset();
    QTest::qWait(100);
}

void WindowTest::workerCallsRunOnTheWindowThreadAndEndOnClose() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    QThread* windowThread = QThread::currentThread();

    // From a worker: each call is carried out on the window thread while the worker waits.
    std::atomic<bool> done{false};
    std::atomic<int> baudIndex{-2};
    QThread* ranOn = nullptr;
    std::thread worker([&] {
        w.InsertLogLine("first");
        w.InsertLogLine("second");
        w.EnableJobButtons(false);
        w.SetProgressRange(0, 50000);
        w.SetProgressPos(40000);
        baudIndex = w.SelectedBaudIndex();
        w.ShowMessage("Cannot open serial port");
        done = true;
    });
    connect(t.Get<QListWidget>(IDC_LOG_LIST)->model(), &QAbstractItemModel::rowsInserted, &w,
            [&] { ranOn = QThread::currentThread(); });
    QVERIFY(WaitUntil([&] { return done.load(); }, 10000));
    worker.join();
    QCOMPARE(ranOn, windowThread);
    QCOMPARE(t.Log(), (QStringList{"second", "first"}));
    QVERIFY(!t.Get(IDC_UPDATE_DSP)->isEnabled());
    QVERIFY(!t.Get(IDC_UPDATE_MCU)->isEnabled());
    QVERIFY(t.Get(IDC_EXIT)->isEnabled());
    QVERIFY(t.Get(IDC_READ_VERSION)->isHidden());
    QCOMPARE(t.Get<QProgressBar>(IDC_PROGRESS_BAR)->value(), 40000);
    QCOMPARE(baudIndex.load(), 2);
    QCOMPARE(t.boxes->shown.last(),
             (QPair<QString, QString>{"Pellorin", "Cannot open serial port"}));

    // Text typed into the speed field selects no item.
    QTest::keyClicks(t.Get<QComboBox>(IDC_BAUD_COMBO)->lineEdit(), QStringLiteral("5"));
    QCOMPARE(w.SelectedBaudIndex(), -1);

    // A worker waiting for the window thread is released when the window closes, and no call
    // touches the window after that.
    std::atomic<bool> returned{false};
    std::thread late([&] {
        w.InsertLogLine("never shown");
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait; no events run
    QVERIFY(!returned.load());
    w.OnCommand(IDC_EXIT);
    late.join();  // hangs here if the close did not wake it
    QVERIFY(returned.load());
    QVERIFY(w.StopRequested());
    w.InsertLogLine("after close");
    QTest::qWait(20);
    QCOMPARE(t.Log(), (QStringList{"second", "first"}));
}

void WindowTest::enterIsUpdateDspAndEscIsExit() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));

    // Enter in the port field is the dialog's OK command, "Update DSP" (no port here: its box).
    QCOMPARE(QApplication::focusWidget(), t.Get(IDC_PORT_COMBO));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(t.boxes->shown.size(), 1);
    QCOMPARE(t.boxes->shown.last().second, QStringLiteral("Canot find serial interface!"));
    QCOMPARE(w.JobMode(), 2);
    QVERIFY(w.isVisible());

    // Enter on a focused button presses that button.
    t.Get(IDC_UPDATE_MCU)->setFocus();
    QTest::keyClick(t.Get(IDC_UPDATE_MCU), Qt::Key_Return);
    QCOMPARE(t.boxes->shown.size(), 2);
    QCOMPARE(w.JobMode(), 1);

    // Esc is "Exit".
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(!w.isVisible());
    QVERIFY(w.StopRequested());
    QCOMPARE(w.result(), int(QDialog::Rejected));
}

void WindowTest::timerTicksShowTheDisplayAndAskForTheSoundOnce() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    FlashCounters& c = w.Counters();

    // Erase pacing: the bar and the percentage advance by one a tick.
    c.ProgressPercent = 0;
    for (int i = 0; i < 3; ++i) w.OnTimer(kEraseTimer);
    QCOMPARE(t.Get<QProgressBar>(IDC_PROGRESS_BAR)->value(), 3);
    QCOMPARE(t.Get<QLabel>(IDC_PERCENT_TEXT)->text(), QStringLiteral("3%"));

    // Programming clock: 300 of 1200 blocks after 60 s.
    c.TotalBlocks = 1200;
    c.WrittenBlocks = 300;
    c.TotalBlocksShown = 1200;
    c.WrittenBlocksShown = 300;
    c.PercentShown = 25;
    c.FlashStartTime = platform::timeGetTime() - 60000;
    c.FlashPhase = kPhaseProgramming;
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.Text(IDC_ELAPSED_TEXT), QStringLiteral("01:00"));
    QCOMPARE(t.Text(IDC_SPEED_TEXT), QStringLiteral("5 Blocks/Sec"));
    QCOMPARE(t.Text(IDC_REMAIN_TEXT), QStringLiteral("03:00"));
    QCOMPARE(t.Text(IDC_TOTAL_BLOCKS), QStringLiteral("1200"));
    QCOMPARE(t.Text(IDC_WRITTEN_BLOCKS), QStringLiteral("300"));
    QCOMPARE(t.Get<QLabel>(IDC_PERCENT_TEXT)->text(), QStringLiteral("25%"));
    QCOMPARE(t.sounds->load(), 0);

    // Resumed after block 900 of 2100: only the 300 blocks sent in this run count; an hour or
    // more reads h:mm:ss.
    c.TotalBlocks = 2100;
    c.ResumedFrom = 900;
    c.WrittenBlocks = 1200;
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.Text(IDC_SPEED_TEXT), QStringLiteral("5 Blocks/Sec"));
    QCOMPARE(t.Text(IDC_REMAIN_TEXT), QStringLiteral("03:00"));
    c.FlashStartTime = platform::timeGetTime() - 3900000;
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.Text(IDC_ELAPSED_TEXT), QStringLiteral("1:05:00"));

    // The end: one sound on the tick that finds the finished phase, none after, none on failure.
    c.FlashPhase = kPhaseFinished;
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.sounds->load(), 1);
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.sounds->load(), 1);
    c.FlashPhase = kPhaseFailed;
    w.OnTimer(kProgramTimer);
    QCOMPARE(t.sounds->load(), 1);
    QCOMPARE(c.FlashPhase.load(), 0);

    // Started through the contract, the timers tick on their own.
    w.StartTimer(kEraseTimer, 10);
    QVERIFY(w.TimerActive(kEraseTimer));
    QVERIFY(WaitUntil([&] { return c.ProgressPercent.load() >= 6; }, 5000));
    w.StopTimer(kEraseTimer);
    QVERIFY(!w.TimerActive(kEraseTimer));
}

void WindowTest::saveAndCopyLogGiveTheLinesOldestFirstWithTheirTimes() {
    TestWindow t;
    CPellorinDlg& w = *t.window;
    for (const char* line : {"COM1 was opened!", "Connecting..........", "Com was closed"})
        w.InsertLogLine(line);
    QTemporaryDir folder;
    t.dialogs->saveTo = folder.filePath(QStringLiteral("log.txt"));
    ClickContextEntry(w, QStringLiteral("Save log…"));

    QFile saved(t.dialogs->saveTo);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(saved.readAll());
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    const QRegularExpression timed(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  (.*)$"));
    QStringList texts;
    for (const QString& line : lines) {
        const auto match = timed.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        texts << match.captured(1);
    }
    QCOMPARE(texts, (QStringList{"COM1 was opened!", "Connecting..........", "Com was closed"}));
    // The list itself keeps its lines as they are, newest on top and without times.
    QCOMPARE(t.Log(), (QStringList{"Com was closed", "Connecting..........", "COM1 was opened!"}));

    ClickContextEntry(w, QStringLiteral("Copy log"));
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
    QVERIFY(t.boxes->shown.isEmpty());
}

void WindowTest::imageFolderIsChosenRememberedAndShown() {
    QTemporaryDir images;
    {
        TestWindow t;
        t.dialogs->folderToChoose = images.path();
        ClickContextEntry(*t.window, QStringLiteral("Image folder…"));
        QCOMPARE(QString::fromStdString(t.window->Engine().Link.ImageFolder()), images.path());
    }
    TestWindow t;  // the next start of the program
    QCOMPARE(QString::fromStdString(t.window->Engine().Link.ImageFolder()), images.path());
    // Shown beside the log after the folder beside the program, which is looked in first.
    QVERIFY2(t.window->ImageFoldersShown().endsWith(QStringLiteral(", then ") + images.path() +
                                                    QLatin1Char('/')),
             qPrintable(t.window->ImageFoldersShown()));
    auto* shown = t.Get<QLabel>(IDC_IMAGE_FOLDERS);
    QVERIFY(shown->isVisible() && shown->text().startsWith(QStringLiteral("Images: /")));
    QVERIFY(shown->fontMetrics().horizontalAdvance(shown->text()) <= shown->width());
    // The window's menu and the log's both hold the entry.
    for (bool onLog : {false, true}) {
        const auto tooltips = ClickContextEntry(*t.window, QString(), onLog);
        QVERIFY2(tooltips.value(QStringLiteral("Image folder…")).contains(images.path()),
                 qPrintable(tooltips.value(QStringLiteral("Image folder…"))));
        QCOMPARE(tooltips.contains(QStringLiteral("关于 Pellorin(&A)...")), !onLog);
    }

    // Without a file manager the window says where the records are.
    t.dialogs->fileManager = false;
    ClickContextEntry(*t.window, QStringLiteral("Open records folder"));
    const QString records = QString::fromStdString(t.window->Engine().Link.Record.Folder());
    QCOMPARE(t.dialogs->opened, QStringList{records});
    QCOMPARE(t.boxes->shown.size(), 1);
    QVERIFY(t.boxes->shown[0].second.contains(records));
    SaveImageFolder(QString());
}

void WindowTest::missingImageSaysWhereItLookedAndOffersTheFolderChooser() {
    // Installed, the program looks beside itself, where no image is: the log's line, then a box
    // that says where it looked and offers the folder chooser, after which the next press finds
    // the image in the folder chosen.
    QTemporaryDir program;
    QTemporaryDir images;
    sim::HexImageOptions image;
    image.records = 20;
    image.verifyRecordLine = 21;
    std::string text;
    for (const std::string& line : sim::MakeHexImageLines(image)) text += line + "\n";
    QFile file(images.filePath(QStringLiteral("dsp.hex")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.data(), static_cast<qint64>(text.size()));
    file.close();
    SaveImageFolder(QString());
    auto device = StartSim(sim::Options{});
    QVERIFY(device);
    platform::ScopedClockScale scale(kClockScale);
    TestWindow t;
    t.window->Engine().Link.ModulePath = program.filePath(QStringLiteral("Pellorin")).toStdString();
    t.boxes->answerYes = true;
    t.dialogs->folderToChoose = images.path();

    t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
    QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));
    QVERIFY(t.LogHas(QStringLiteral("dsp.hex can not found!")));
    QCOMPARE(t.boxes->shown.size(), 1);
    QCOMPARE(t.boxes->shown[0].first, QStringLiteral("Pellorin"));
    QCOMPARE(t.boxes->shown[0].second,
             QStringLiteral("dsp.hex can not found!\nLooked in ") + program.path() +
                 QStringLiteral("/: put dsp.hex there, or choose the folder that holds it with "
                                "\"Image folder…\" (right-click the log or the window).\n\n"
                                "Choose the image folder now?"));
    QCOMPARE(QString::fromStdString(t.window->Engine().Link.ImageFolder()), images.path());
    QCOMPARE(t.window->ImageFoldersShown(), QStringLiteral("Images: ") + program.path() +
                                                QStringLiteral("/, then ") + images.path() +
                                                QLatin1Char('/'));

    t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
    QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));
    QVERIFY2(t.LogHas(QStringLiteral("Verify flash data ok!")),
             qPrintable(t.Log().join(QStringLiteral(" | "))));
    QCOMPARE(t.boxes->shown.size(), 1);
    SaveImageFolder(QString());
}

void WindowTest::updateThroughATypedRemotePortWhichIsOfferedAgain() {
    // The remote ports used last are kept in the user's settings: this test's own.
    QTemporaryDir settings;
    const QByteArray previousSettings = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
    sim::Options options;
    options.eraseTimeMs = 0;
    options.expectImage = (kImageDir + QStringLiteral("/dsp.hex")).toStdString();
    auto device = StartSim(options);
    QVERIFY(device);
    testing_support::Ser2net server(testing_support::Ser2netLine{device->SlavePath()});
    QVERIFY(server.Running());
    const QString url = QString::fromStdString(server.Url());
    platform::ScopedClockScale scale(kClockScale);
    {
        TestWindow t;
        auto* ports = t.Get<QComboBox>(IDC_PORT_COMBO);
        t.Get<QComboBox>(IDC_BAUD_COMBO)->setCurrentIndex(3);
        ports->lineEdit()->clear();
        QTest::keyClicks(ports->lineEdit(), url);
        t.Get<QPushButton>(IDC_UPDATE_DSP)->click();
        QVERIFY(WaitUntil([&] { return t.JobEnded(); }, kJobTimeoutMs));
        const QStringList log = t.Log();
        QVERIFY2(InOrder(Reversed(log),
                         {url + " was opened!", "Verify flash data ok!", "Com was closed"}),
                 qPrintable(log.join(QStringLiteral(" | "))));
        QVERIFY(t.boxes->shown.isEmpty());
        QVERIFY(device->GetSummary().imageMatches);
        // The next window offers it again, after the local ports.
        TestWindow next;
        auto* offered = next.Get<QComboBox>(IDC_PORT_COMBO);
        QVERIFY(offered->count() >= 1);
        QCOMPARE(offered->itemText(offered->count() - 1), url);
    }
    qputenv("XDG_CONFIG_HOME", previousSettings);
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
