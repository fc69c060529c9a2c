#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

bool StdoutIsTerminal();

// A status line on stdout that rewrites itself in place, redrawn at most every 100 ms. It
// draws nothing when disabled (stdout is not a terminal), so output piped to a file or a test
// holds only results. One thread draws at a time.
class LiveLine {
public:
    explicit LiveLine(bool enabled);
    LiveLine(const LiveLine&) = delete;
    LiveLine& operator=(const LiveLine&) = delete;
    ~LiveLine();

    bool Enabled() const { return m_Enabled; }
    // Draws text when the last draw is 100 ms old, or always when force is set.
    void Show(const std::string& text, bool force = false);
    // Erases the line, leaving the cursor at its start.
    void Clear();

private:
    bool m_Enabled;
    bool m_Drawn = false;
    std::chrono::steady_clock::time_point m_LastDraw;
};

// Bytes and rate of one BLOB transfer: "label  12.0 MiB / 64.0 MiB  19%  530.2 MB/s".
// Transfers below ThresholdBytes are too short to watch and draw nothing.
class TransferProgress {
public:
    static constexpr int64_t ThresholdBytes = 4ll << 20;

    // total < 0: size unknown in advance; shown without the share.
    TransferProgress(std::string label, int64_t total, bool enabled = StdoutIsTerminal());

    bool Enabled() const { return m_Line.Enabled(); }
    void Update(int64_t done);
    void Finish() { m_Line.Clear(); }

private:
    std::string m_Label;
    int64_t m_Total;
    std::chrono::steady_clock::time_point m_Start;
    LiveLine m_Line;
};

} // namespace tool
