// The operator's window as the tests make it: its message boxes answered, its end sound counted,
// its file dialogs and file manager played by the test; and the event loop the tests wait in.
// Shared by the window's own tests and its run of the window contract.
#pragma once

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QListWidget>
#include <QMap>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

#include "app/EndSound.h"
#include "app/FileDialogs.h"
#include "app/MessageBoxes.h"
#include "app/PellorinDlg.h"
#include "flash/UpdateEngine.h"

namespace pellorin::qt_window_test {

inline const QString kImageDir = QStringLiteral(PELLORIN_IMAGE_DIR);

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
inline QMap<QString, QString> ClickContextEntry(CPellorinDlg& w, const QString& text,
                                                bool onLog = false) {
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

// Runs the event loop until `done` holds or timeoutMs (real) have passed. Unlike a sleep-and-poll
// wait, the window thread handles every posted message the moment it arrives, as in the program.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
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

}  // namespace pellorin::qt_window_test
