// What a paced run made of the line, measured from the simulated inverter's transcript: shared by
// flash_bench (simulator in the same process) and flash_bench_port (an external pellorin-sim,
// whose transcript file is read back).
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "sim/SimInverter.h"

namespace pellorin::bench {

// A block command: "SD_" and the block number, for the DSP and the MCU alike.
bool IsBlock(const sim::TranscriptEntry& entry);

// The share of the physical limit a paced run reached: the bytes of its blocks and their
// acknowledgements at 10 bits each, against the time from the first block's first byte to the
// last acknowledgement's last byte.
struct LineUse {
    double limitMs = 0;
    double actualMs = 0;
    double wireBytes = 0;
    int blocks = 0;
    double Percent() const { return actualMs > 0 ? 100.0 * limitMs / actualMs : 0.0; }
};

LineUse MeasureLineUse(const std::vector<sim::TranscriptEntry>& transcript, unsigned baud);

// The median time from one block to the next in a run's transcript, in microseconds.
double MedianBlockUs(const std::vector<sim::TranscriptEntry>& transcript);

// The tool's turnaround on each block, sorted, in milliseconds: from the last byte of a block's
// acknowledgement to the first byte of the next block, on the paced line's clock. The line's own
// time is not in it: it is what the tool (and the system under it) adds to every block.
std::vector<double> TurnaroundsMs(const std::vector<sim::TranscriptEntry>& transcript,
                                  unsigned baud);

// Reads back what pellorin-sim --transcript wrote (one JSON object per line received); the
// fields the measures need: timeMs, received, reply and baudAtArrival. False, with the line's
// number in `error`, on a line it cannot read.
bool ReadTranscriptJsonLines(std::istream& in, std::vector<sim::TranscriptEntry>& transcript,
                             std::string& error);

}  // namespace pellorin::bench
