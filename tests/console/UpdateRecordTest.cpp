// The update record: the file a job leaves for support, from the record's own side and from a
// whole update against the simulated inverter.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "console/RecordText.h"
#include "console/Sha256.h"
#include "console/UpdateRecord.h"
#include "platform/Trace.h"
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::MakeHexImage;
using testing_support::SimulatedLine;
using testing_support::TempFolder;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> RecordFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One event line of a record: its kind, the line speed and the text or bytes.
struct Event {
    std::string what;
    std::string speed;
    std::string text;
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The events between the column heads and the summary, the columns at their fixed places.
std::vector<Event> Events(const std::string& record) {
    std::vector<Event> events;
    bool inEvents = false;
    for (const std::string& line : Lines(record)) {
        if (line.rfind("        time ms", 0) == 0) {
            inEvents = true;
            continue;
        }
        if (!inEvents) continue;
        if (line.empty()) break;
        events.push_back({Trim(line.substr(31, 4)), Trim(line.substr(36, 6)), line.substr(44)});
    }
    return events;
}

std::string Unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') bytes += '\r';
        if (c == 'n') bytes += '\n';
        if (c == 't') bytes += '\t';
        if (c == '\\') bytes += '\\';
        if (c == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return bytes;
}

// The value of a "name   value" line of the summary.
std::string Field(const std::string& record, const std::string& name) {
    const std::string summary = record.substr(record.find("\nsummary\n"));
    for (const std::string& line : Lines(summary)) {
        if (line.rfind(name + "  ", 0) == 0) return Trim(line.substr(16));
    }
    return "(missing)";
}

}  // namespace

TEST(UpdateRecordFile, KeepsTheNewestHundredRecordsAndDeletesNothingElse) {
    const TempFolder folder;
    const TempFolder outside;
    const std::string records = folder.File("records");
    ASSERT_EQ(mkdir(records.c_str(), 0755), 0);
    for (int i = 0; i < 103; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "20200101-00%02d%02d.000Z-COM1.txt", i / 60, i % 60);
        std::ofstream(records + "/" + name) << "old\n";
    }
    // Older than every record by its name, but not a record: a link to someone's file, a
    // folder, and names that only look like records.
    outside.Write("precious.txt", "keep\n");
    const std::vector<std::string> others = {
        "20190101-000000.000Z-COM1.txt", "20190101-000001.000Z-COM1.txt",
        "20190101-000002.000Z-COM1.txt.bak", "2019 notes.txt", "notes.txt"};
    ASSERT_EQ(symlink(outside.File("precious.txt").c_str(), (records + "/" + others[0]).c_str()),
              0);
    ASSERT_EQ(mkdir((records + "/" + others[1]).c_str(), 0700), 0);
    for (std::size_t i = 2; i < others.size(); ++i) std::ofstream(records + "/" + others[i]) << "x";

    UpdateRecord record;
    record.SetFolder(records);
    record.Begin(2, "COM1");
    const std::string path = record.Finish();

    ASSERT_FALSE(path.empty());
    EXPECT_EQ(record.LastPath(), path);
    const auto names = RecordFiles(records);
    EXPECT_EQ(names.size(), 100u + others.size());
    const auto oldest = std::find_if(names.begin(), names.end(), [](const std::string& name) {
        return name.rfind("2020", 0) == 0;
    });
    ASSERT_NE(oldest, names.end());
    EXPECT_EQ(*oldest, "20200101-000004.000Z-COM1.txt") << "the four oldest went";
    for (const std::string& other : others) {
        EXPECT_NE(std::find(names.begin(), names.end(), other), names.end()) << other;
    }
    EXPECT_TRUE(std::filesystem::exists(outside.File("precious.txt")));
    EXPECT_TRUE(std::filesystem::exists(path));
    // The folder is its user's alone (it was made readable by all), and so is the record.
    struct stat info {};
    ASSERT_EQ(stat(records.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(UpdateRecordFile, TheRecordsFolderIsMadePrivateAndRefusedWhenALinkOrSomeoneElses) {
    const TempFolder folder;
    // Made where it is missing, each new folder readable by its user only.
    {
        UpdateRecord record;
        record.SetFolder(folder.File("state/pellorin/records"));
        record.Begin(1, "COM2");
        ASSERT_FALSE(record.Finish().empty());
        for (const char* made : {"state", "state/pellorin", "state/pellorin/records"}) {
            struct stat info {};
            ASSERT_EQ(stat(folder.File(made).c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0700u) << made;
        }
    }
    // A link in the folder's place, and a folder of another user's: nothing is written into
    // them, nothing in them is pruned, and the job costs one trace line.
    ASSERT_EQ(mkdir(folder.File("elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink(folder.File("elsewhere").c_str(), folder.File("linked").c_str()), 0);
    std::string foreign = "/";  // root's
    if (geteuid() == 0) {
        foreign = folder.File("foreign");
        ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    }
    const std::pair<std::string, std::string> refused[] = {
        {folder.File("linked"), "the records folder is a symbolic link"},
        {foreign, "the records folder belongs to another user"}};
    for (const auto& [path, reason] : refused) {
        platform::TraceCapture traces;
        UpdateRecord record;
        record.SetFolder(path);
        record.Begin(2, "COM1");
        record.AddLogLine("Connecting..........");
        EXPECT_EQ(record.Finish(), "") << path;
        ASSERT_EQ(traces.Lines().size(), 1u) << path;
        EXPECT_NE(traces.Lines()[0].find(reason), std::string::npos) << traces.Lines()[0];
    }
    EXPECT_TRUE(RecordFiles(folder.File("elsewhere")).empty());
}

TEST(UpdateRecordFile, WithoutHomeTheAccountsHomeIsUsedNeverASharedFolder) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    unsetenv("HOME");
    setenv("XDG_STATE_HOME", "relative/state", 1);  // to be ignored, as a relative one is
    const std::string folder = DefaultRecordsFolder();
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    if (state.empty()) {
        unsetenv("XDG_STATE_HOME");
    } else {
        setenv("XDG_STATE_HOME", state.c_str(), 1);
    }
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(folder, std::string(account->pw_dir) + "/.local/state/pellorin/records");
}

TEST(UpdateRecordFile, ShowsControlBytesEscapedAndCutsAFloodWithItsLength) {
    const TempFolder folder;
    UpdateRecord record;
    record.SetFolder(folder.Path());
    record.Begin(1, "COM3");
    record.SetLineSpeed(9600);
    record.OnCommandSent(":mcu\x01", 5);
    for (int i = 0; i < 5; ++i) record.OnBytesReceived(std::string(120, 'Z').c_str(), 120);
    record.AddLogLine("connect fail");
    record.SetSpeedInForce(19200);
    record.OnCommandSent("a\\b\r", 4);
    record.OnBytesReceived("ST", 2);
    record.OnBytesReceived("3\r", 2);
    // Texts that would forge lines of their own: a file name with a line end, a message with a
    // terminal's escape, a Unicode line separator and a byte that is not UTF-8. Other UTF-8 and
    // a Windows path's backslashes stay as they are.
    const std::string forged = "dsp.hex\noutcome         updated, verification confirmed";
    record.AddLogLine("/tmp/固件/" + forged);
    record.AddMessageBox("Cannot open serial port\x1b[2J\r");
    record.AddNote("C:\\firmware\\dsp.hex\xE2\x80\xA8\xFF");
    record.SetImage(folder.File(forged));
    const std::string text = ReadFile(record.Finish());

    const auto events = Events(text);
    ASSERT_EQ(events.size(), 1u + 5u + 1u + 1u + 1u + 2u + 3u) << text;
    EXPECT_EQ(events[0].what, "tx");
    EXPECT_EQ(events[0].speed, "9600");
    EXPECT_EQ(events[0].text, ":mcu\\x01");
    // 512 bytes are shown (four pieces whole, the fifth cut), the rest only counted.
    std::string shown;
    for (int i = 1; i <= 5; ++i) shown += events[i].what == "rx" ? events[i].text : "";
    EXPECT_EQ(shown, std::string(512, 'Z'));
    EXPECT_EQ(events[6].what, "cut");
    EXPECT_EQ(events[6].text, "(flood: 600 bytes since the command, the last 88 not shown)");
    EXPECT_EQ(events[7].what, "log");
    EXPECT_EQ(events[7].text, "connect fail");
    EXPECT_EQ(events[8].text, "a\\\\b\\r");
    EXPECT_EQ(events[8].speed, "19200");
    EXPECT_EQ(events[9].text, "ST") << "pieces as they arrived";
    EXPECT_EQ(events[10].text, "3\\r");
    EXPECT_EQ(Field(text, "wire"), "2 commands, 7 pieces received, 1 floods cut");
    EXPECT_EQ(events[11].text,
              "/tmp/固件/dsp.hex\\noutcome         updated, verification confirmed");
    EXPECT_EQ(events[12].what, "box");
    EXPECT_EQ(events[12].text, "Cannot open serial port\\x1B[2J\\r");
    EXPECT_EQ(events[13].what, "note");
    EXPECT_EQ(events[13].text, "C:\\firmware\\dsp.hex\\u2028\\xFF");
    EXPECT_EQ(Field(text, "image"), EscapeText(folder.File(forged)));
    int outcomes = 0;
    for (const std::string& line : Lines(text)) outcomes += line.rfind("outcome", 0) == 0;
    EXPECT_EQ(outcomes, 1) << text;
}

// The record is on the disk while the job runs, so that whatever ends the program leaves it; a
// record ends with its outcome line only when its job has ended.
TEST(UpdateRecordFile, GrowsAsTheJobRunsAndEndsWithItsOutcome) {
    const TempFolder folder;
    UpdateRecord record;
    record.SetFolder(folder.Path());
    record.Begin(2, "COM1");
    record.AddLogLine("Program flash..........");
    std::vector<std::string> names;
    std::string soFar;
    for (int i = 0; i < 200 && soFar.find("Program flash") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        names = RecordFiles(folder.Path());
        if (names.size() == 1) soFar = ReadFile(folder.File(names[0]));
    }
    EXPECT_NE(soFar.find("log          Program flash.........."), std::string::npos) << soFar;
    EXPECT_EQ(soFar.find("\noutcome"), std::string::npos) << "not before the job has ended";

    const struct {
        void (*facts)(UpdateRecord&);
        std::string outcome;
    } cases[] = {
        {[](UpdateRecord& r) {
             r.SetToolChecksum(0x1234);
             r.AddDeviceChecksum(0x1234);
             r.SetOutcome("updated");
         },
         "updated, verification confirmed"},
        {[](UpdateRecord& r) {
             r.SetToolChecksum(0x1234);
             r.AddDeviceChecksum(0x4321);
             r.SetOutcome("verify-failed");
         },
         "verify-failed, verification failed"},
        {[](UpdateRecord& r) {
             r.SetToolChecksum(0x1234);
             r.SetVerification(UpdateRecord::Verification::NotChecked);
             r.SetOutcome("interrupted", "stopped by the operator");
         },
         "interrupted (stopped by the operator), verification not checked"},
    };
    bool running = true;  // the first case finishes the record begun above
    for (const auto& c : cases) {
        if (!running) record.Begin(2, "COM1");
        running = false;
        c.facts(record);
        const auto lines = Lines(ReadFile(record.Finish()));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "outcome         " + c.outcome);
    }
}

class UpdateRecordOfAJob : public SimulatedLine {
  protected:
    void StartDsp() {
        folder.Write("dsp.hex", MakeHexImage(40, 16, 30));
        sim::Options options;
        options.expectImage = folder.File("dsp.hex");
        options.eraseTimeMs = 300;
        Start(options);
    }
};

TEST_F(UpdateRecordOfAJob, HoldsTheDevicesTranscriptByteForByteAndTheOutcome) {
    StartDsp();
    console->Link().Record.SetFolder(folder.File("records"));
    RunJob(kJobDspUpdate);
    ASSERT_TRUE(device->GetSummary().imageMatches);
    const std::string path = console->Link().Record.LastPath();
    ASSERT_FALSE(path.empty());
    const std::string text = ReadFile(path);

    // Every command and the bytes that came back up to the next one, against what the device
    // received and answered, line by line.
    std::vector<Event> commands;
    std::vector<std::string> replies;
    std::vector<std::string> logged;
    for (const Event& event : Events(text)) {
        if (event.what == "tx") {
            commands.push_back(event);
            replies.emplace_back();
        } else if (event.what == "rx") {
            ASSERT_FALSE(replies.empty()) << "bytes before the first command";
            replies.back() += Unescape(event.text);
        } else if (event.what == "log") {
            logged.push_back(event.text);
        } else {
            ADD_FAILURE() << "unexpected event " << event.what << " " << event.text;
        }
    }
    const auto transcript = device->Transcript();
    ASSERT_EQ(commands.size(), transcript.size());
    for (std::size_t i = 0; i < transcript.size(); ++i) {
        EXPECT_EQ(Unescape(commands[i].text), transcript[i].received + "\r") << "line " << i;
        EXPECT_EQ(commands[i].speed, std::to_string(transcript[i].baudAtArrival)) << "line " << i;
        EXPECT_EQ(replies[i], transcript[i].reply) << "line " << i;
    }
    EXPECT_EQ(logged, Log());

    const std::string image = ReadFile(folder.File("dsp.hex"));
    Sha256 digest;
    digest.Update(image.data(), image.size());
    EXPECT_EQ(Field(text, "image"), folder.File("dsp.hex"));
    EXPECT_EQ(Field(text, "image size"), std::to_string(image.size()) + " bytes");
    EXPECT_EQ(Field(text, "image SHA-256"), digest.HexDigest());
    EXPECT_EQ(Field(text, "image lines"), "42, 41 data records");
    EXPECT_EQ(Field(text, "speed asked"), "19200");
    EXPECT_EQ(Field(text, "speed in force"), "19200");
    EXPECT_EQ(Field(text, "FlashPhase"), "2 (finished)");
    EXPECT_EQ(Field(text, "blocks written"), "42 of 42");
    EXPECT_EQ(Field(text, "resume point"), "0");
    const std::string sums = Field(text, "checksum");
    ASSERT_EQ(sums.size(), std::string("tool 1234, device 1234").size()) << sums;
    EXPECT_EQ(sums.substr(5, 4), sums.substr(18, 4)) << sums;
    EXPECT_NE(text.find("\ntool            Pellorin "), std::string::npos);
    EXPECT_NE(text.find("\njob             2 (DSP update)\n"), std::string::npos);
    EXPECT_EQ(Lines(text).back(), "outcome         updated, verification confirmed");
}

// Support reads how a job ended that did not end in an update: stopped by the operator (not a
// failure), or without its image, with the folders where it was looked for.
TEST_F(UpdateRecordOfAJob, AStoppedJobAndAMissingImageAreToldAsSuch) {
    folder.Write("dsp.hex", MakeHexImage(400, 16, 390));
    sim::Options options;
    options.blockWriteTimeMs = 40;
    Start(options);
    console->Link().Record.SetFolder(folder.File("records"));
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    for (int i = 0; i < 2000 && device->GetSummary().dspBlocksStored < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    console->Exit();  // "Exit", Esc or the close box
    const std::string stopped = ReadFile(console->Link().Record.LastPath());
    EXPECT_EQ(Lines(stopped).back(),
              "outcome         interrupted (stopped by the operator), verification not checked");
    EXPECT_NE(Field(stopped, "FlashPhase"), "4 (failed)")
        << "not told as a failure of the device or the line";
    bool noted = false;
    for (const Event& event : Events(stopped)) {
        noted |=
            event.what == "note" && event.text == "stopped by the operator: the port was closed";
    }
    EXPECT_TRUE(noted) << stopped;

    std::filesystem::remove(folder.File("dsp.hex"));
    ASSERT_EQ(mkdir(folder.File("images").c_str(), 0700), 0);
    console = std::make_unique<HeadlessConsole>();
    console->Link().ModulePath = folder.File("Pellorin");
    console->Link().SetImageFolder(folder.File("images"));
    console->Link().Record.SetFolder(folder.File("records"));
    RunJob(kJobDspUpdate);
    const std::string missing = ReadFile(console->Link().Record.LastPath());
    EXPECT_EQ(Field(missing, "image"), "dsp.hex not found");
    EXPECT_EQ(Field(missing, "searched in"), folder.Path() + "/, " + folder.File("images") + "/");
    EXPECT_EQ(Lines(missing).back(), "outcome         image-refused, verification not checked");
}

TEST_F(UpdateRecordOfAJob, AnUnwritableStateFolderCostsOneTraceLineAndNothingElse) {
    StartDsp();
    folder.Write("plain-file", "");
    console->Link().Record.SetFolder(folder.File("plain-file") + "/pellorin/records");
    platform::TraceCapture traces;
    RunJob(kJobDspUpdate);

    const auto summary = device->GetSummary();
    EXPECT_TRUE(summary.imageMatches);
    EXPECT_EQ(summary.blocksStored, 42);
    const auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "Verify flash data ok!");
    EXPECT_EQ(log.back(), "Com was closed");
    EXPECT_EQ(console->Link().Record.LastPath(), "");
    int recordTraces = 0;
    for (const std::string& line : traces.Lines())
        recordTraces += line.rfind("UpdateRecord - ", 0) == 0;
    EXPECT_EQ(recordTraces, 1);
}
