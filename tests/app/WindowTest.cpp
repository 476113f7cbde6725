// The Qt window's own behaviour, driven through its controls on the offscreen platform: its
// widgets and layout, its menus and About box, the port folder watched, its keys, remote ports;
// what both windows do alike is the window contract (tests/window), run by QtWindowDriver.cpp.
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "SerialLib/Serial/Serial.h"
#include "app/AboutBox.h"
#include "app/DialogUnits.h"
#include "app/PellorinDlg.h"
#include "app/UserSettings.h"
#include "platform/Clock.h"
#include "sim/PseudoTerminal.h"
#include "sim/SimInverter.h"
#include "tests/app/TestWindow.h"
#include "tests/support/NetworkServers.h"

using namespace pellorin;
using namespace pellorin::qt_window_test;

namespace {

constexpr double kClockScale = 10;    // program ms per real ms: a whole update in about a second
constexpr int kJobTimeoutMs = 15000;  // real ms; generous for sanitizer builds

// True when `expected` appear in `lines` in this order (each matched as a line's beginning).
bool InOrder(const QStringList& lines, const QStringList& expected) {
    int next = 0;
    for (const QString& line : lines)
        if (next < expected.size() && line.startsWith(expected[next])) ++next;
    return next == expected.size();
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

    void controlsAreOfTheirKindsAndTheHiddenOnesHidden();
    void layoutFollowsTheTemplateInDialogUnits();
    void aboutEntryOfTheContextMenuOpensTheAboutBox();
    void portListFollowsAdaptersAndSaysWhatEachIsOrWhyItIsMissing();
    void enterIsUpdateDspAndEscIsExitAndTypedSpeedSelectsNoItem();
    void imageFolderIsShownBesideTheLogAndInBothMenus();
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

void WindowTest::controlsAreOfTheirKindsAndTheHiddenOnesHidden() {
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
    QVERIFY(t.Get<QLabel>(IDC_PERCENT_TEXT));
    QVERIFY(t.Get<QProgressBar>(IDC_PROGRESS_BAR));
    QVERIFY(w.findChild<QLabel*>(QStringLiteral("static:Current ID:"))->isHidden());
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

void WindowTest::enterIsUpdateDspAndEscIsExitAndTypedSpeedSelectsNoItem() {
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

    // Text typed into the speed field selects no item.
    QTest::keyClicks(t.Get<QComboBox>(IDC_BAUD_COMBO)->lineEdit(), QStringLiteral("5"));
    QCOMPARE(w.SelectedBaudIndex(), -1);

    // Esc is "Exit".
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(!w.isVisible());
    QVERIFY(w.StopRequested());
    QCOMPARE(w.result(), int(QDialog::Rejected));
}

void WindowTest::imageFolderIsShownBesideTheLogAndInBothMenus() {
    QTemporaryDir images;
    SaveImageFolder(images.path());
    TestWindow t;
    // Shown beside the log, whole within the line's width.
    auto* shown = t.Get<QLabel>(IDC_IMAGE_FOLDERS);
    QVERIFY(shown->isVisible() && shown->text().startsWith(QStringLiteral("Images: /")));
    QVERIFY(shown->fontMetrics().horizontalAdvance(shown->text()) <= shown->width());
    // The window's menu and the log's both hold the entry, which names the folder; About is the
    // window's menu's only.
    for (bool onLog : {false, true}) {
        const auto tooltips = ClickContextEntry(*t.window, QString(), onLog);
        QVERIFY2(tooltips.value(QStringLiteral("Image folder…")).contains(images.path()),
                 qPrintable(tooltips.value(QStringLiteral("Image folder…"))));
        QCOMPARE(tooltips.contains(QStringLiteral("关于 Pellorin(&A)...")), !onLog);
    }
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
