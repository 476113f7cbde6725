// A stand-in for the Windows dialog around the window's logic (win32/PellorinDlg): recorded
// controls and a message loop on the test's thread, delivering posted wake-ups and serial
// notifications and the two timers. Shared by the window's own tests and its run of the window
// contract.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"
#include "win32/PellorinDlg.h"

namespace pellorin::win32::testing_dialog {

using Clock = std::chrono::steady_clock;
inline const std::string kImageDir = PELLORIN_IMAGE_DIR;

// The dialog's controls as recorded values, and a message loop run by the test's thread.
class FakeDialog : public DialogHost {
  public:
    // Controls.
    void SetControlText(int id, const std::string& text) override { texts[id] = text; }
    std::string ControlText(int id) const override {
        // A combo's edit field shows the selected item, or what was typed.
        if (ComboSelection(id) >= 0) return ComboItemText(id, ComboSelection(id));
        const auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void EnableControl(int id, bool enable) override { disabled[id] = !enable; }
    bool ControlEnabled(int id) const override {
        const auto it = disabled.find(id);
        return it == disabled.end() || !it->second;
    }
    void InsertListLine(int, int index, const std::string& text) override {
        log.insert(log.begin() + index, text);
        logThreads.insert(std::this_thread::get_id());
    }
    void AddComboItem(int id, const std::string& text) override {
        auto& items = combos[id];
        items.insert(std::upper_bound(items.begin(), items.end(), text), text);  // sorted style
    }
    void InsertComboItem(int id, int index, const std::string& text) override {
        combos[id].insert(combos[id].begin() + index, text);
    }
    void ResetCombo(int id) override {
        combos[id].clear();
        selection[id] = -1;
        texts[id].clear();
    }
    int ComboCount(int id) const override {
        const auto it = combos.find(id);
        return it == combos.end() ? 0 : static_cast<int>(it->second.size());
    }
    int ComboSelection(int id) const override {
        const auto it = selection.find(id);
        return it == selection.end() ? -1 : it->second;
    }
    void SelectComboItem(int id, int index) override {
        selection[id] = index < ComboCount(id) ? index : -1;
    }
    std::string ComboItemText(int id, int index) const override { return combos.at(id).at(index); }
    void SetProgressRange(int, int lower, int upper) override { range = {lower, upper}; }
    void SetProgressPos(int, int position) override { barPosition = position; }

    // Window services.
    void SetTimer(int timerId, unsigned periodMs) override {
        timers[timerId] = {std::chrono::milliseconds(periodMs),
                           Clock::now() + std::chrono::milliseconds(periodMs)};
    }
    void KillTimer(int timerId) override { timers.erase(timerId); }
    void SetToolTip(int id, const std::string& text) override { toolTips[id] = text; }
    void AppendAboutEntry() override {
        ++aboutEntries;
        menu.emplace_back(0x0010u, "About");
    }
    void AppendSystemMenuEntry(unsigned command, const std::string& text) override {
        menu.emplace_back(command, text);
    }
    void SetSystemMenuEntryText(unsigned command, const std::string& text) override {
        for (auto& entry : menu)
            if (entry.first == command) entry.second = text;
    }
    unsigned ShowPopupMenu(int id, int, int,
                           const std::vector<std::pair<unsigned, std::string>>& entries) override {
        popupMenus.emplace_back(id, entries);
        return popupAnswer;
    }
    void ShowAboutBox() override { ++aboutBoxes; }
    bool ShowMessageBox(const std::string& text, const std::string& caption, bool yesNo) override {
        boxes.emplace_back(caption, text);
        return yesNo ? answerYes : true;
    }
    void PlayEndSound() override { ++sounds; }
    void EndDialog(int result) override { endResult = result; }
    std::vector<serial::PortInfo> ListPorts() override { return listPorts(); }
    std::string ChooseFolder(const std::string& start) override {
        chooserStart = start;
        return folderToChoose;
    }
    std::string ChooseSaveFile(const std::string&) override { return saveTo; }
    bool WriteTextFile(const std::string& path, const std::string& text) override {
        if (!writable) return false;
        files[path] = text;
        return true;
    }
    bool CopyToClipboard(const std::string& text) override {
        clipboard = text;
        return true;
    }
    bool OpenFolder(const std::string& folder) override {
        opened.push_back(folder);
        return fileManager;
    }
    std::string ReadUserSetting(const std::string& name) override {
        const auto it = settings->find(name);
        return it == settings->end() ? std::string() : it->second;
    }
    bool WriteUserSetting(const std::string& name, const std::string& value) override {
        (*settings)[name] = value;
        return true;
    }
    std::string UserSettingsPlace() const override { return "the test's settings"; }
    // "€" stands for a character the engine's file calls cannot name.
    std::string ToEnginePath(const std::string& path) const override {
        return path.find("€") == std::string::npos ? path : std::string();
    }
    std::string FromEnginePath(const std::string& path) const override { return path; }
    // Posted messages, delivered by Pump; like a destroyed window's, they are dropped once the
    // dialog is gone.
    void WakeWindowThread() override {
        Post([this] {
            if (dialog != nullptr) dialog->RunPendingCalls();
        });
    }
    bool PostSerialMessage(std::uintptr_t wParam, std::intptr_t lParam) noexcept override {
        Post([this, wParam, lParam] {
            if (dialog != nullptr) dialog->OnSerialMessage(wParam, lParam);
        });
        return true;
    }

    // The message loop: runs posted messages and due timer ticks until `done` holds or
    // timeoutMs (real) have passed.
    bool Pump(const std::function<bool()>& done, int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= end) return false;
            std::function<void()> message;
            {
                std::unique_lock lock(m_mutex);
                m_posted.wait_for(lock, std::chrono::milliseconds(1),
                                  [this] { return !m_queue.empty(); });
                if (!m_queue.empty()) {
                    message = std::move(m_queue.front());
                    m_queue.pop_front();
                }
            }
            if (message) {
                message();
                continue;
            }
            const auto now = Clock::now();
            for (auto& [id, timer] : std::map(timers)) {
                if (timer.due > now || timers.count(id) == 0 || dialog == nullptr) continue;
                timers[id].due = now + timer.period;
                dialog->OnTimer(id);
            }
        }
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };

    CPellorinDlg* dialog = nullptr;
    // The ports: the real catalogue (PELLORIN_COM_DIR) unless a test makes up a list.
    std::function<std::vector<serial::PortInfo>()> listPorts = serial::ListPorts;
    bool answerYes = false;
    std::string folderToChoose;
    std::string chooserStart;
    std::string saveTo;
    bool writable = true;
    bool fileManager = true;
    std::shared_ptr<std::map<std::string, std::string>> settings =
        std::make_shared<std::map<std::string, std::string>>();

    std::map<int, std::string> texts;
    std::map<int, bool> disabled{{IDC_READ_VERSION, true}, {IDC_RESET_EEPROM, true}};
    std::vector<std::string> log;  // newest first, as the list shows it
    std::set<std::thread::id> logThreads;
    std::map<int, std::vector<std::string>> combos;
    std::map<int, int> selection;
    std::pair<int, int> range{0, 100};
    int barPosition = 0;
    std::map<int, Timer> timers;
    std::map<int, std::string> toolTips;
    std::vector<std::pair<unsigned, std::string>> menu;  // the system menu's own entries
    // The popup menus shown (the control's id and the entries), and the command chosen in them.
    std::vector<std::pair<int, std::vector<std::pair<unsigned, std::string>>>> popupMenus;
    unsigned popupAnswer = 0;
    std::map<std::string, std::string> files;
    std::string clipboard;
    std::vector<std::string> opened;
    int aboutEntries = 0;
    int aboutBoxes = 0;
    std::vector<std::pair<std::string, std::string>> boxes;  // (caption, text)
    int sounds = 0;
    int endResult = 0;

  private:
    void Post(std::function<void()> message) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(message));
        }
        m_posted.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
};

// The window as the dialog procedure makes it at WM_INITDIALOG, with the real engine looking
// for its images in the demo image folder.
struct TestWindow {
    // `ports` (when given) stands for the catalogue; `settings` are those of an earlier run.
    // `imageDir` plays the program's own folder.
    explicit TestWindow(std::vector<serial::PortInfo> ports = {}, bool madeUp = false,
                        std::shared_ptr<std::map<std::string, std::string>> settings = nullptr,
                        const std::string& imageDir = kImageDir) {
        if (madeUp) host.listPorts = [ports] { return ports; };
        if (settings) host.settings = std::move(settings);
        window = std::make_unique<CPellorinDlg>(
            host, [imageDir](Console& console, FlashCounters& counters, PostSerialMessageFn post) {
                return MakeUpdateEngine(console, counters, std::move(post), imageDir);
            });
        host.dialog = window.get();
        EXPECT_TRUE(window->OnInitDialog());
    }
    ~TestWindow() {
        window.reset();
        host.dialog = nullptr;
        host.PumpFor(20);  // what was posted late is dropped, as for a destroyed window
    }
    bool JobEnded() {
        return !window->Engine().JobRunning() && host.ControlEnabled(IDC_UPDATE_DSP);
    }

    FakeDialog host;
    std::unique_ptr<CPellorinDlg> window;
};

}  // namespace pellorin::win32::testing_dialog
