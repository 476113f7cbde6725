// The window contract run against the Qt window on the offscreen platform, through its
// controls and its menus.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <mutex>
#include <set>

#include "app/UserSettings.h"
#include "tests/app/TestWindow.h"
#include "tests/window/WindowDriver.h"

namespace pellorin::testing_window {
namespace {

using qt_window_test::ClickContextEntry;
using qt_window_test::TestWindow;

std::string S(const QString& text) { return text.toStdString(); }

class QtDriver : public WindowDriver {
  public:
    explicit QtDriver(const std::string& programFolder) {
        W().Engine().Link.ModulePath = programFolder + "/Pellorin";
        // The thread of every line inserted into the log.
        QObject::connect(m_t.Get<QListWidget>(IDC_LOG_LIST)->model(),
                         &QAbstractItemModel::rowsInserted, &W(), [this] {
                             std::lock_guard lock(m_mutex);
                             m_logThreads.insert(QThread::currentThread());
                         });
    }

    Console& Window() override { return W(); }
    FlashCounters& Counters() override { return W().Counters(); }
    void Press(int id) override {
        auto* button = m_t.Get<QPushButton>(id);
        if (button != nullptr && button->isVisible()) {
            button->click();
        } else {
            W().OnCommand(id);
        }
    }
    void Tick(int timerId) override { W().OnTimer(timerId); }
    bool Pump(const std::function<bool()>& done, int timeoutMs) override {
        return qt_window_test::WaitUntil(done, timeoutMs);
    }
    int JobMode() const override { return m_t.window->JobMode(); }
    bool NegotiateBaud() const override { return m_t.window->NegotiateBaud(); }
    std::string PortName() const override { return m_t.window->PortName(); }
    bool TimerActive(int timerId) const override { return m_t.window->TimerActive(timerId); }
    bool Closed() const override {
        return !m_t.window->isVisible() && m_t.window->result() == QDialog::Rejected;
    }

    bool JobRunning() const override { return m_t.window->Engine().Link.JobRunning(); }
    bool PortOpen() const override { return m_t.window->Engine().Link.Port.IsOpen(); }
    std::string ImageFolder() const override { return m_t.window->Engine().Link.ImageFolder(); }
    std::string RecordsFolder() const override { return m_t.window->Engine().Link.Record.Folder(); }

    std::vector<std::string> Log() const override {
        std::vector<std::string> lines;
        for (const QString& line : m_t.Log()) lines.push_back(S(line));
        return lines;
    }
    bool LogOnWindowThreadOnly() const override {
        std::lock_guard lock(m_mutex);
        return m_logThreads.empty() ||
               m_logThreads == std::set<QThread*>{QApplication::instance()->thread()};
    }
    std::string Text(int id) const override {
        QWidget* control = m_t.window->Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(control)) return S(edit->text());
        if (auto* label = qobject_cast<QLabel*>(control)) return S(label->text());
        if (auto* combo = qobject_cast<QComboBox*>(control)) return S(combo->currentText());
        return {};
    }
    bool Enabled(int id) const override { return m_t.Get(id)->isEnabled(); }
    bool HiddenControlsHidden() const override {
        return m_t.Get(IDC_READ_VERSION)->isHidden() && m_t.Get(IDC_RESET_EEPROM)->isHidden() &&
               m_t.Get(IDC_CURRENT_ID)->isHidden();
    }
    std::vector<std::string> ComboItems(int id) const override {
        auto* combo = m_t.Get<QComboBox>(id);
        std::vector<std::string> items;
        for (int i = 0; i < combo->count(); ++i) items.push_back(S(combo->itemText(i)));
        return items;
    }
    int ComboSelection(int id) const override { return m_t.Get<QComboBox>(id)->currentIndex(); }
    void SelectComboItem(int id, int index) override {
        m_t.Get<QComboBox>(id)->setCurrentIndex(index);
    }
    std::pair<int, int> BarRange() const override {
        auto* bar = m_t.Get<QProgressBar>(IDC_PROGRESS_BAR);
        return {bar->minimum(), bar->maximum()};
    }
    int BarPosition() const override { return m_t.Get<QProgressBar>(IDC_PROGRESS_BAR)->value(); }
    std::string ImageFoldersShown() const override { return S(m_t.window->ImageFoldersShown()); }

    std::vector<std::pair<std::string, std::string>> Boxes() const override {
        std::vector<std::pair<std::string, std::string>> boxes;
        for (const auto& [caption, text] : m_t.boxes->shown)
            boxes.emplace_back(S(caption), S(text));
        return boxes;
    }
    void AnswerYes(bool yes) override { m_t.boxes->answerYes = yes; }
    int Sounds() const override { return m_t.sounds->load(); }
    void FolderToChoose(const std::string& folder) override {
        m_t.dialogs->folderToChoose = QString::fromStdString(folder);
    }
    void ChooseImageFolder() override { ClickContextEntry(W(), QStringLiteral("Image folder…")); }
    std::string CopyLog() override {
        ClickContextEntry(W(), QStringLiteral("Copy log"));
        return S(QGuiApplication::clipboard()->text());
    }
    std::string SaveLog(const std::string& path) override {
        m_t.dialogs->saveTo = QString::fromStdString(path);
        ClickContextEntry(W(), QStringLiteral("Save log…"));
        QFile saved(m_t.dialogs->saveTo);
        if (!saved.open(QIODevice::ReadOnly)) return {};
        return saved.readAll().toStdString();
    }
    std::vector<std::string> OpenRecordsFolderWithoutFileManager() override {
        m_t.dialogs->fileManager = false;
        ClickContextEntry(W(), QStringLiteral("Open records folder"));
        std::vector<std::string> opened;
        for (const QString& folder : m_t.dialogs->opened) opened.push_back(S(folder));
        return opened;
    }
    std::string ImageFolderEntryPlace() const override {
        return "(right-click the log or the window)";
    }

  private:
    CPellorinDlg& W() const { return *m_t.window; }

    TestWindow m_t;
    mutable std::mutex m_mutex;
    std::set<QThread*> m_logThreads;
};

// The settings are the user's (under the tests' own configuration folder), as between runs of
// the program.
class QtKind : public WindowKind {
  public:
    const char* Name() const override { return "Qt"; }
    std::unique_ptr<WindowDriver> Open(const std::string& programFolder) override {
        return std::make_unique<QtDriver>(programFolder);
    }
    void ForgetSettings() override { SaveImageFolder(QString()); }
};

QtKind g_qt;

}  // namespace

INSTANTIATE_TEST_SUITE_P(Qt, WindowContract, ::testing::Values(&g_qt));

}  // namespace pellorin::testing_window

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
