// Whole updates through real network serial servers on the loopback address, each in front of the
// simulated inverter's pseudo-terminal: what the device sees must be what it sees from a local
// port, line by line and at the same line rates.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "console/JobMode.h"
#include "link/DeviceLink.h"
#include "link/JobOutcome.h"
#include "link/PortChoice.h"
#include "tests/support/NetworkServers.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::FreeTcpPort;
using testing_support::Ser2net;
using testing_support::Ser2netLine;
using testing_support::SimulatedLine;
using testing_support::Sredird;

namespace {

using Wire = std::vector<std::pair<std::string, unsigned>>;

Wire WireOf(const sim::SimInverter& device) {
    Wire wire;
    for (const sim::TranscriptEntry& entry : device.Transcript())
        wire.emplace_back(entry.received, entry.baudAtArrival);
    return wire;
}

constexpr int kBaud38400 = 3;

}  // namespace

class RemoteUpdate : public SimulatedLine {
  protected:
    // The remote ports used last go to this test's own settings.
    void SetUp() override { setenv("XDG_CONFIG_HOME", folder.File("config").c_str(), 1); }

    // A server's answers take real time (sredird's about 50 ms): the tool's time-outs run at a
    // fifth of their length here (the shortest, 1 s for a reply's first bytes, at 200 ms), not
    // at the twentieth of the local tests, and the device erases at once.
    platform::ScopedClockScale nearRealTime{5.0};
    static sim::Options Quick(sim::Options options = {}) {
        options.eraseTimeMs = 100;
        return options;
    }

    void WriteImages() {
        folder.Write("dsp.hex", testing_support::MakeHexImage(120, 16, 100));
        folder.Write("mcu.hex", testing_support::MakeHexImage(80, 32));
    }

    // One job on `port` against a fresh device; the device's wire afterwards.
    Wire RunOn(int jobMode, const std::function<std::string()>& portFor,
               sim::Options options = {}) {
        console.reset();
        device.reset();
        WriteImages();
        options.expectImage = folder.File(jobMode == kJobDspUpdate ? "dsp.hex" : "mcu.hex");
        Start(options);
        console->SelectBaudIndex(kBaud38400);
        console->Link().Record.SetFolder(folder.File("records"));
        const std::string port = portFor();
        EXPECT_TRUE(console->PressJobButton(jobMode, port));
        EXPECT_TRUE(console->WaitForJobEnd(600000));
        EXPECT_TRUE(device->GetSummary().imageMatches) << port;
        EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::Updated) << port;
        return WireOf(*device);
    }

    // The line as the device saw it from the tool on a local port, for this job.
    Wire LocalWire(int jobMode) {
        return RunOn(jobMode, [] { return std::string("COM1"); });
    }
};

TEST_F(RemoteUpdate, ThroughSer2netTheDeviceSeesWhatALocalPortSends) {
    for (const int job : {kJobDspUpdate, kJobMcuUpdate}) {
        SCOPED_TRACE(job == kJobDspUpdate ? "DSP" : "MCU");
        const Wire local = LocalWire(job);
        std::unique_ptr<Ser2net> server;
        const Wire remote = RunOn(job, [&] {
            server = std::make_unique<Ser2net>(Ser2netLine{device->SlavePath()});
            EXPECT_TRUE(server->Running());
            return server->Url();
        });
        EXPECT_EQ(remote, local);
        // The record names the endpoint and the round trip of a block through the server.
        std::ifstream record(console->Link().Record.LastPath());
        const std::string text((std::istreambuf_iterator<char>(record)),
                               std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("port            " + server->Url()), std::string::npos);
        EXPECT_NE(text.find("round trip      "), std::string::npos);
        // The speed command went at 2400 baud and every later line at the working speed: the
        // server confirmed the new speed before the first command after the acknowledgement.
        ASSERT_GT(remote.size(), 3u);
        EXPECT_EQ(remote.front().first, job == kJobDspUpdate ? "^S008BAUD384" : "^S008BAUD192");
        EXPECT_EQ(remote.front().second, 2400u);
        for (std::size_t i = 1; i < remote.size(); ++i)
            EXPECT_EQ(remote[i].second, job == kJobDspUpdate ? 38400u : 9600u) << remote[i].first;
    }
}

TEST_F(RemoteUpdate, ThroughSredirdTheDeviceSeesWhatALocalPortSends) {
    for (const int job : {kJobDspUpdate, kJobMcuUpdate}) {
        SCOPED_TRACE(job == kJobDspUpdate ? "DSP" : "MCU");
        const Wire local = LocalWire(job);
        std::unique_ptr<Sredird> server;
        const Wire remote = RunOn(job, [&] {
            server = std::make_unique<Sredird>(device->SlavePath());
            EXPECT_TRUE(server->Running());
            return server->Url();
        });
        EXPECT_EQ(remote, local);
    }
}

TEST_F(RemoteUpdate, AServerThatNeverAnswersSetControlOrPurgeDataServesAsWell) {
    std::unique_ptr<Ser2net> server;
    std::unique_ptr<testing_support::AnswerDroppingRelay> relay;
    const Wire wire = RunOn(kJobDspUpdate, [&] {
        server = std::make_unique<Ser2net>(Ser2netLine{device->SlavePath()});
        relay = std::make_unique<testing_support::AnswerDroppingRelay>(
            server->TcpPort(), std::vector<unsigned char>{105, 112});
        return relay->Url();
    });
    EXPECT_GT(relay->Dropped(), 0) << "the tool asked for no flow control";
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.back().second, 38400u);
}

TEST_F(RemoteUpdate, RawTcpStaysAtTheContactSpeedAndSaysSo) {
    std::unique_ptr<Ser2net> server;
    Ser2netLine line;
    line.rfc2217 = false;
    const Wire wire = RunOn(kJobDspUpdate, [&] {
        line.device = device->SlavePath();
        server = std::make_unique<Ser2net>(line);
        return server->Url();
    });
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.front().first, ":dsp001") << "no speed command";
    for (const auto& [text, baud] : wire) EXPECT_EQ(baud, 2400u) << text;
    EXPECT_TRUE(Logged(server->Url() +
                       " is a raw TCP port: the speed cannot be set, the job runs at 2400 baud"));
    EXPECT_EQ(testing_support::CountPrefix(Log(), "At 2400 baud this image takes about 0:0"), 1);
    // Offered again by the windows and listed by `ports`, as used last.
    const auto remembered = RememberedRemotePorts();
    ASSERT_EQ(remembered.size(), 1u);
    EXPECT_EQ(remembered[0].name, server->Url());
}

TEST_F(RemoteUpdate, ADroppedConnectionEndsTheJobAtOnceAndTheNextOneResumes) {
    sim::Options options = Quick();
    options.blockWriteTimeMs = 5;
    WriteImages();
    options.expectImage = folder.File("dsp.hex");
    Start(options);
    console->SelectBaudIndex(kBaud38400);
    auto server = std::make_unique<Ser2net>(Ser2netLine{device->SlavePath()});
    ASSERT_TRUE(server->Running());
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, server->Url()));
    ASSERT_TRUE(device->WaitForLines(40, 600000));
    server->Kill();  // the network is gone
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    EXPECT_NE(console->Link().Outcome.load(), JobOutcome::Updated);
    EXPECT_TRUE(Logged(server->Url() + " was disconnected!"));
    EXPECT_FALSE(console->Link().Port.IsOpen());
    const int stored = device->GetSummary().dspBlocksStored;
    EXPECT_GT(stored, 30);
    EXPECT_LT(stored, 121);

    server = std::make_unique<Ser2net>(Ser2netLine{device->SlavePath()});
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, server->Url()));
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::Updated);
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(RemoteUpdate, ServersThatCannotServeAreNamedWithTheReason) {
    Start();
    WriteImages();
    const auto refusal = [&](const std::string& port) {
        const std::size_t before = console->MessageBoxes().size();
        EXPECT_TRUE(console->PressJobButton(kJobDspUpdate, port));
        EXPECT_TRUE(console->WaitForJobEnd(600000));
        EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::PortNotOpened) << port;
        const auto boxes = console->MessageBoxes();
        return boxes.size() > before ? boxes.back() : std::string();
    };
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort());
    EXPECT_EQ(refusal(refused), "Cannot open serial port\n" + refused +
                                    ": connection refused: no server listens on that TCP port");
    EXPECT_NE(refusal("rfc2217://no-such-host.invalid:2217").find(": name not found"),
              std::string::npos);

    // A host that never completes the connection: here a listener whose queue of connections
    // waiting to be accepted is full, so the system drops the tool's requests unanswered.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
    const int queued = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&at), size), 0);
    const std::string silent = "rfc2217://127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    EXPECT_EQ(refusal(silent), "Cannot open serial port\n" + silent +
                                   ": server unreachable: no connection within 5 s");
    close(queued);
    close(listener);

    // Another client has the port: ser2net turns the second one away.
    Ser2net server(Ser2netLine{device->SlavePath()});
    const int other = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.TcpPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(server.WaitUntilServing(0, 10000));
    EXPECT_EQ(refusal(server.Url()), "Cannot open serial port\n" + server.Url() +
                                         ": port busy: the server serves another client");
    close(other);

    // A server that does not speak RFC 2217 (ser2net's raw port) never agrees to COM port
    // control, so the speed could not be set: refused before anything reaches the device.
    Ser2netLine rawLine{device->SlavePath()};
    rawLine.rfc2217 = false;
    Ser2net raw(rawLine);
    const std::string posing = "rfc2217://127.0.0.1:" + std::to_string(raw.TcpPort());
    EXPECT_NE(refusal(posing).find("does not speak RFC 2217"), std::string::npos);
    EXPECT_TRUE(device->Transcript().empty());
}

TEST_F(RemoteUpdate, SeveralUnitsAtOnceThroughOneServer) {
    WriteImages();
    sim::Options options = Quick();
    options.expectImage = folder.File("dsp.hex");
    Start(options);
    sim::Options secondOptions = options;
    secondOptions.comDir = folder.Path();
    secondOptions.comNumber = 2;
    sim::SimInverter second(secondOptions);
    ASSERT_TRUE(second.Start());
    Ser2net server({Ser2netLine{device->SlavePath()}, Ser2netLine{second.SlavePath()}});
    ASSERT_TRUE(server.Running());
    HeadlessConsole other;
    other.Link().ModulePath = folder.File("Pellorin");
    console->SelectBaudIndex(kBaud38400);
    other.SelectBaudIndex(kBaud38400);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, server.Url(0)));
    ASSERT_TRUE(other.PressJobButton(kJobDspUpdate, server.Url(1)));
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    ASSERT_TRUE(other.WaitForJobEnd(600000));
    EXPECT_TRUE(device->GetSummary().imageMatches);
    EXPECT_TRUE(second.GetSummary().imageMatches);
    EXPECT_TRUE(device->GetSummary().violations.empty());
    EXPECT_TRUE(second.GetSummary().violations.empty());
}
