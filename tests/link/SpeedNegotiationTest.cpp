// The speed exchange at 2400 baud and the move to the working speed, checked on the bytes and
// line rates the simulated inverter saw.
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::SimulatedLine;

namespace {
using Lines = std::vector<std::string>;

struct SpeedCase {
    int jobMode;
    int baudIndex;
    const char* command;  // without its CR
    unsigned workingBaud;
};

// The rate of the line that followed the negotiation (the leave command of a job whose image is
// missing), and of every speed command.
void ExpectRates(const sim::SimInverter& device, unsigned speedCommandBaud, unsigned afterBaud) {
    const auto transcript = device.Transcript();
    ASSERT_FALSE(transcript.empty());
    for (std::size_t i = 0; i + 1 < transcript.size(); ++i) {
        EXPECT_EQ(transcript[i].baudAtArrival, speedCommandBaud) << transcript[i].received;
        EXPECT_EQ(transcript[i].stopBitsAtArrival, 1);
    }
    EXPECT_EQ(transcript.back().received, "SV");
    EXPECT_EQ(transcript.back().baudAtArrival, afterBaud);
}
}  // namespace

class SpeedNegotiation : public SimulatedLine {};

TEST_F(SpeedNegotiation, EachListEntrySendsItsCommandAndSetsItsRate) {
    const SpeedCase cases[] = {
        {kJobDspUpdate, 0, "^S008BAUD048", 4800},  {kJobDspUpdate, 1, "^S008BAUD096", 9600},
        {kJobDspUpdate, 2, "^S008BAUD192", 19200}, {kJobDspUpdate, 3, "^S008BAUD384", 38400},
        {kJobMcuUpdate, 0, "^S008BAUD192", 9600},  // the MCU asks 192 and runs at 9600
    };
    for (const SpeedCase& c : cases) {
        SCOPED_TRACE(c.command);
        Start();
        console->SelectBaudIndex(c.baudIndex);
        RunJob(c.jobMode);
        EXPECT_EQ(device->Received(), std::string(c.command) + "\rSV\r");
        ExpectRates(*device, 2400, c.workingBaud);
        // (A leave command at 9600 with no bootloader selected yet is one the device cannot
        // place: only the MCU's entry tells it that 192 meant 9600.)
        for (const auto& violation : device->GetSummary().violations) {
            if (c.jobMode == kJobMcuUpdate) break;
            EXPECT_EQ(violation.find(" arrived "), std::string::npos) << violation;
        }
        console.reset();
        device.reset();
    }
}

TEST_F(SpeedNegotiation, AnAcknowledgementOnTheSecondAttemptEndsTheExchange) {
    sim::Options options;
    options.faults.ackOnAttempt = 2;
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_EQ(device->Received(), "^S008BAUD192\r^S008BAUD192\rSV\r");
    ExpectRates(*device, 2400, 19200);
}

TEST_F(SpeedNegotiation,
       WithoutAcknowledgementThreeAttemptsRunTheirTimeOutsAndTheSpeedStillChanges) {
    sim::Options options;
    options.faults.ackOnAttempt = 0;
    Start(options);
    const DWORD start = platform::GetTickCount();
    RunJob(kJobDspUpdate);
    EXPECT_EQ(device->Received(), "^S008BAUD192\r^S008BAUD192\r^S008BAUD192\rSV\r");
    ExpectRates(*device, 2400, 19200);
    // Three attempts of 1000 + 8000 ms, then the leave command's own waits.
    EXPECT_GE(platform::GetTickCount() - start, 27000u);
    EXPECT_TRUE(Logged("COM1 was opened!")) << "the speed change is not confirmed by any line";
}

TEST_F(SpeedNegotiation, ATruncatedAcknowledgementIsRefused) {
    sim::Options options;
    options.faults.ackOverride = "^D006AC";
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_EQ(device->Received(), "^S008BAUD192\r^S008BAUD192\r^S008BAUD192\rSV\r");
}

TEST_F(SpeedNegotiation, TextTypedIntoTheSpeedBoxSendsNothingAndStaysAt2400) {
    Start();
    console->SelectBaudIndex(-1);
    RunJob(kJobDspUpdate);
    EXPECT_EQ(device->Received(), "SV\r");
    ExpectRates(*device, 2400, 2400);
    EXPECT_EQ(Log().front(), "COM1 was opened!");
}

TEST_F(SpeedNegotiation, UpdateMcuAlwaysSelects19200) {
    Start();
    console->SelectBaudIndex(0);
    RunJob(kJobMcuUpdate);
    EXPECT_EQ(console->SelectedBaudIndex(), 2);
}
