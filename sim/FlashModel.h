// The device's flash as the bootloaders see it: per bootloader the records stored by block
// number, the state and the resume block (the last block stored), optionally kept in a file so
// that an interrupted update can be resumed by the next run of the simulator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimInverter.h"

namespace sim {

struct BootloaderMemory {
    int state = 1;
    std::uint32_t block = 0;                       // resume block: the last block stored
    std::map<std::uint32_t, std::string> records;  // block number -> record text without CR
};

class FlashModel {
  public:
    FlashModel(int dspState, std::uint32_t dspBlock, int mcuState, std::uint32_t mcuBlock);

    // Reads the state file if it exists (it then overrides the start state), writes it back
    // compacted and keeps it open for appending every later change. False with `error` set when
    // the file cannot be read or written or holds a line that is not understood.
    bool AttachFile(const std::string& path, std::string& error);

    [[nodiscard]] const BootloaderMemory& Of(Target target) const;

    void SetState(Target target, int state);
    // Forgets every record; the state becomes 2 (erasing) and the resume block 0.
    void Erase(Target target);
    // Starts holding `records` as blocks 1, 2, ... (the resume block stays as it was set).
    void Hold(Target target, const std::vector<std::string>& records);
    // Stores (or replaces) a record and makes it the resume block.
    void Store(Target target, std::uint32_t block, const std::string& record);
    // The device left the bootloader: the next entry starts at state 1, block 0. The records stay.
    void Leave(Target target);

  private:
    BootloaderMemory& Mutable(Target target);
    void Append(const std::string& line);
    bool ApplyLine(const std::string& line);
    bool WriteCompacted(const std::string& path);

    BootloaderMemory m_dsp;
    BootloaderMemory m_mcu;
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> m_file;
};

}  // namespace sim
