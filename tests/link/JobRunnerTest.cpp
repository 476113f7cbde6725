// The job runner against the simulated inverter: what each job sends, logs and leaves behind.
#include <sys/stat.h>

#include <thread>

#include "SerialLib/Serial/LineDriver.h"
#include "platform/Trace.h"
#include "sim/PseudoTerminal.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::SimulatedLine;

namespace {
using Lines = std::vector<std::string>;

// The kernel's driver, except that it refuses to set one line rate.
class RefusingDriver : public LineDriver {
  public:
    explicit RefusingDriver(speed_t refused) : m_refused(refused) {}
    int GetAttributes(int fd, termios& settings) override {
        return m_kernel->GetAttributes(fd, settings);
    }
    int SetAttributes(int fd, const termios& settings) override {
        return cfgetospeed(&settings) == m_refused ? EINVAL : m_kernel->SetAttributes(fd, settings);
    }
    int GetCounters(int fd, LineCounters& counters) override {
        return m_kernel->GetCounters(fd, counters);
    }
    int GetModemLines(int fd, int& lines) override { return m_kernel->GetModemLines(fd, lines); }
    int SetBreak(int fd, bool on) override { return m_kernel->SetBreak(fd, on); }
    int RequestLowLatency(int fd) override { return m_kernel->RequestLowLatency(fd); }
    int GetPortType(int fd, int& type) override { return m_kernel->GetPortType(fd, type); }

  private:
    speed_t m_refused;
    std::shared_ptr<LineDriver> m_kernel = KernelLineDriver();
};
}  // namespace

class JobRunner : public SimulatedLine {};

TEST_F(JobRunner, ReadVersionAndResetEepromOpenAt2400AndSendNothing) {
    Start();
    for (int mode : {kJobReadVersion, kJobResetEeprom}) {
        RunJob(mode);
        EXPECT_EQ(device->Received(), "") << "job " << mode;
    }
    EXPECT_EQ(Log(), (Lines{"Connecting..........", "Com was closed", "Connecting..........",
                            "Com was closed"}));
    const auto ticks = console->LogTicksOldestFirst();
    EXPECT_GE(ticks[1] - ticks[0], 1000u) << "the port closes after the settling pause";
    EXPECT_TRUE(console->JobButtonsEnabled());
    EXPECT_FALSE(console->Link().Port.IsOpen());
}

TEST_F(JobRunner, AMissingImageIsReportedAndTheDeviceToldToLeave) {
    Start();
    RunJob(kJobDspUpdate);
    EXPECT_EQ(Log(), (Lines{"COM1 was opened!", "Connecting..........", "dsp.hex can not found!",
                            "Com was closed"}));
    EXPECT_EQ(device->Received(), "^S008BAUD192\rSV\r") << "the leave command goes out once";
}

TEST_F(JobRunner, AFolderNamedLikeTheImageCountsAsFound) {
    Start();
    ASSERT_EQ(mkdir(folder.File("dsp.hex").c_str(), 0755), 0);
    RunJob(kJobDspUpdate);
    EXPECT_FALSE(Logged("dsp.hex can not found!"));
    EXPECT_TRUE(Logged("Open image file fail!")) << "the loader meets the folder and says so";
    EXPECT_TRUE(Logged("dsp.hex is a folder, not a file"));
    EXPECT_TRUE(Logged("Total blocks:0"));
    EXPECT_EQ(device->Received(), "^S008BAUD192\rSV\r") << "nothing to send: no erase either";
}

TEST_F(JobRunner, AnImagePathThatDoesNotFitIsTreatedAsMissing) {
    Start();
    console->Link().ModulePath = folder.Path() + "/" + std::string(300, 'x') + "/Pellorin";
    RunJob(kJobMcuUpdate);
    EXPECT_TRUE(Logged("mcu.hex can not found!"));
}

TEST_F(JobRunner, APortThatCannotBeOpenedStopsTheJobWithAMessageBox) {
    Start();
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM7"));
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    EXPECT_EQ(console->MessageBoxes(),
              (Lines{"Cannot open serial port\nCOM7: no such device\n"
                     "pellorin-cli ports lists the serial ports and their state"}));
    EXPECT_TRUE(Log().empty()) << "nothing is logged, not even Com was closed";
    EXPECT_TRUE(console->JobButtonsEnabled());
}

TEST_F(JobRunner, RefusedSettingsAtTheContactSpeedStopTheJobWithOneLine) {
    Start();
    console->Link().Port.SetLineDriver(std::make_shared<RefusingDriver>(B2400));
    RunJob(kJobDspUpdate);
    EXPECT_EQ(Log(), Lines{" Setup serial port  fail!"});
    EXPECT_EQ(device->Received(), "");
    EXPECT_FALSE(console->Link().Port.IsOpen());
    EXPECT_TRUE(console->JobButtonsEnabled());
}

TEST_F(JobRunner, RefusedSettingsAtTheWorkingSpeedCloseThePort) {
    Start();
    console->Link().Port.SetLineDriver(std::make_shared<RefusingDriver>(B19200));
    RunJob(kJobDspUpdate);
    EXPECT_EQ(Log(), Lines{" Setup serial port  fail!"});
    EXPECT_EQ(device->Received(), "^S008BAUD192\r");
    EXPECT_FALSE(console->Link().Port.IsOpen());
}

TEST_F(JobRunner, OnlyOneJobRunsAtATime) {
    Start();
    ASSERT_TRUE(console->PressJobButton(kJobReadVersion, "COM1"));
    EXPECT_FALSE(console->PressJobButton(kJobDspUpdate, "COM1")) << "the buttons are off";
    ASSERT_TRUE(console->WaitForJobEnd(60000));
    EXPECT_EQ(device->Received(), "");
}

TEST_F(JobRunner, ExitDuringAJobEndsItPromptlyWithoutTouchingTheWindow) {
    platform::TraceCapture traces;
    sim::Options options;
    options.faults.ackOnAttempt = 0;  // the speed exchange would take 27 seconds
    Start(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(1, 20000));
    platform::SetClockScale(1);  // the bound below is in real program seconds
    const DWORD start = platform::GetTickCount();
    console->Exit();
    EXPECT_LT(platform::GetTickCount() - start, 2000u);
    EXPECT_FALSE(console->Link().Port.IsOpen());
    EXPECT_TRUE(console->WaitForJobEnd(0));
    EXPECT_EQ(Log(), Lines{}) << "nothing is logged after the window closed";
    EXPECT_FALSE(traces.Contains("CSerial::Close - Method called when device is not open\n"))
        << "the port is closed once";
}

TEST_F(JobRunner, AnAdapterPulledOutBeforeProgrammingEndsTheJobWithinASecond) {
    platform::SetClockScale(1);  // the bound below is in real program seconds
    folder.Write("dsp.hex", testing_support::MakeHexImage(5, 16, 3));
    // A device that acknowledges the speed and is pulled out when the first command arrives.
    sim::PseudoTerminal line;
    ASSERT_TRUE(line.Ok());
    ASSERT_TRUE(line.LinkAs(folder.File("com1")));
    setenv("PELLORIN_COM_DIR", folder.Path().c_str(), 1);
    std::atomic<DWORD> pulledAt{0};
    std::thread pulling([&] {
        std::string heard;
        while (heard.find("BAUD192\r") == std::string::npos) heard += line.ReadMaster(50, 1);
        line.WriteMaster("^D006ACK\r");
        heard.clear();
        while (heard.find('\r') == std::string::npos) heard += line.ReadMaster(50, 1);
        pulledAt = platform::GetTickCount();
        line.HangUp();
    });
    console = std::make_unique<HeadlessConsole>();
    console->Link().ModulePath = folder.File("Pellorin");
    RunJob(kJobDspUpdate, 60000);
    pulling.join();
    const Lines log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{"COM1 was disconnected!", "connect fail", "Com was closed"}));
    EXPECT_LT(console->LogTicksOldestFirst().back() - pulledAt.load(), 1000u);
    EXPECT_EQ(console->Counters.FlashPhase.load(), kPhaseFailed);
    EXPECT_FALSE(console->Link().Port.IsOpen());

    // Plugged back in: the next job opens the port and talks to the device again.
    platform::SetClockScale(kClockScale);
    sim::Options replugged;
    replugged.comDir = folder.Path();
    replugged.comNumber = 1;
    device = std::make_unique<sim::SimInverter>(replugged);
    ASSERT_TRUE(device->Start());
    RunJob(kJobMcuUpdate);
    EXPECT_TRUE(Logged("mcu.hex can not found!"));
    EXPECT_EQ(device->Received(), "^S008BAUD192\rSV\r");
}

TEST_F(JobRunner, ImagesComeFromBesideTheProgramFirstThenFromTheChosenFolder) {
    Start();
    DeviceLink& link = console->Link();
    const testing_support::TempFolder chosen;
    link.SetImageFolder(chosen.Path());
    EXPECT_FALSE(link.FindImage("dsp.hex"));
    EXPECT_EQ(link.ImagePath, folder.File("dsp.hex"))
        << "the missing image is named beside the program";

    chosen.Write("dsp.hex", "chosen");
    EXPECT_TRUE(link.FindImage("dsp.hex"));
    EXPECT_EQ(link.ImagePath, chosen.File("dsp.hex"));

    folder.Write("dsp.hex", "beside");
    EXPECT_TRUE(link.FindImage("dsp.hex"));
    EXPECT_EQ(link.ImagePath, folder.File("dsp.hex")) << "beside the program comes first";
}
