// The flash model and its state file. The file is a journal of text lines, replayed in order:
//   state dsp|mcu <state> <block>
//   erase dsp|mcu
//   record dsp|mcu <block> <record text>
// It is rewritten compacted when attached, then every change is appended and flushed at once, so
// a simulator that is killed mid-update still leaves the blocks stored so far.
#include "sim/FlashModel.h"

#include <cinttypes>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

const char* Name(Target target) { return target == Target::Dsp ? "dsp" : "mcu"; }

bool TargetFromName(const std::string& name, Target& target) {
    if (name == "dsp")
        target = Target::Dsp;
    else if (name == "mcu")
        target = Target::Mcu;
    else
        return false;
    return true;
}

constexpr const char* kHeader = "pellorin-sim-state 1";

}  // namespace

FlashModel::FlashModel(int dspState, std::uint32_t dspBlock, int mcuState, std::uint32_t mcuBlock) {
    m_dsp.state = dspState;
    m_dsp.block = dspBlock;
    m_mcu.state = mcuState;
    m_mcu.block = mcuBlock;
}

const BootloaderMemory& FlashModel::Of(Target target) const {
    return target == Target::Dsp ? m_dsp : m_mcu;
}

BootloaderMemory& FlashModel::Mutable(Target target) {
    return target == Target::Dsp ? m_dsp : m_mcu;
}

void FlashModel::SetState(Target target, int state) {
    Mutable(target).state = state;
    Append(std::string("state ") + Name(target) + " " + std::to_string(state) + " " +
           std::to_string(Of(target).block));
}

void FlashModel::Erase(Target target) {
    BootloaderMemory& memory = Mutable(target);
    memory.records.clear();
    memory.block = 0;
    memory.state = 2;
    Append(std::string("erase ") + Name(target));
}

void FlashModel::Store(Target target, std::uint32_t block, const std::string& record) {
    BootloaderMemory& memory = Mutable(target);
    memory.records[block] = record;
    memory.block = block;
    Append(std::string("record ") + Name(target) + " " + std::to_string(block) + " " + record);
}

void FlashModel::Hold(Target target, const std::vector<std::string>& records) {
    BootloaderMemory& memory = Mutable(target);
    memory.records.clear();
    for (std::size_t i = 0; i < records.size(); ++i)
        memory.records[static_cast<std::uint32_t>(i + 1)] = records[i];
}

void FlashModel::Leave(Target target) {
    BootloaderMemory& memory = Mutable(target);
    memory.state = 1;
    memory.block = 0;
    Append(std::string("state ") + Name(target) + " 1 0");
}

void FlashModel::Append(const std::string& line) {
    if (!m_file) return;
    std::fputs(line.c_str(), m_file.get());
    std::fputc('\n', m_file.get());
    std::fflush(m_file.get());
}

bool FlashModel::ApplyLine(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    std::string name;
    Target target = Target::Dsp;
    if (!(in >> verb >> name) || !TargetFromName(name, target)) return false;
    BootloaderMemory& memory = Mutable(target);
    if (verb == "state") {
        long long state = 0;
        long long block = 0;
        if (!(in >> state >> block) || block < 0 || block > 0xFFFFFFFFll) return false;
        memory.state = static_cast<int>(state);
        memory.block = static_cast<std::uint32_t>(block);
        return true;
    }
    if (verb == "erase") {
        memory.records.clear();
        memory.block = 0;
        memory.state = 2;
        return true;
    }
    if (verb == "record") {
        long long block = 0;
        std::string record;
        if (!(in >> block >> record) || block < 1 || block > 0xFFFFFFFFll) return false;
        memory.records[static_cast<std::uint32_t>(block)] = record;
        memory.block = static_cast<std::uint32_t>(block);
        return true;
    }
    return false;
}

bool FlashModel::WriteCompacted(const std::string& path) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (!out) return false;
        out << kHeader << '\n';
        for (const Target target : {Target::Dsp, Target::Mcu}) {
            const BootloaderMemory& memory = Of(target);
            for (const auto& [block, record] : memory.records)
                out << "record " << Name(target) << ' ' << block << ' ' << record << '\n';
            out << "state " << Name(target) << ' ' << memory.state << ' ' << memory.block << '\n';
        }
        if (!out.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool FlashModel::AttachFile(const std::string& path, std::string& error) {
    m_file.reset();
    std::ifstream in(path);
    if (in) {
        // The file holds the whole flash: what the start options put there goes.
        m_dsp.records.clear();
        m_mcu.records.clear();
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (number == 1) {
                if (line != kHeader) {
                    error = path + ": not a simulator state file";
                    return false;
                }
                continue;
            }
            if (line.empty()) continue;
            if (!ApplyLine(line)) {
                error = path + ":" + std::to_string(number) + ": line not understood";
                return false;
            }
        }
    }
    if (!WriteCompacted(path)) {
        error = path + ": cannot be written";
        return false;
    }
    m_file.reset(std::fopen(path.c_str(), "a"));
    if (!m_file) {
        error = path + ": cannot be opened for appending";
        return false;
    }
    return true;
}

}  // namespace sim
