// The update record: the file a job leaves for support, from the record's own side and from a
// whole update against the simulated inverter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST(UpdateRecordFile, KeepsTheNewestHundredRecords) {
    const TempFolder folder;
    for (int i = 0; i < 103; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "20200101-0000%02d.000Z-COM1.txt", i);
        folder.Write(name, "old\n");
    }
    folder.Write("notes.txt", "not a record\n");
    UpdateRecord record;
    record.SetFolder(folder.Path());
    record.Begin(2, "COM1");
    const std::string path = record.Finish();

    ASSERT_FALSE(path.empty());
    EXPECT_EQ(record.LastPath(), path);
    const auto names = RecordFiles(folder.Path());
    EXPECT_EQ(names.size(), 101u) << "100 records and the file that is not one";
    EXPECT_EQ(names.front(), "20200101-000004.000Z-COM1.txt") << "the four oldest went";
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(folder.File("notes.txt")));
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
    const std::string text = ReadFile(record.Finish());

    const auto events = Events(text);
    ASSERT_EQ(events.size(), 1u + 5u + 1u + 1u + 1u + 2u) << text;
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
