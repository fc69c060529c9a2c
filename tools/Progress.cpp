#include "tools/Progress.h"

#include "tools/Format.h"

#include <fmt/format.h>
#include <unistd.h>

namespace tool {

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

LiveLine::LiveLine(bool enabled) : m_Enabled(enabled) {}

LiveLine::~LiveLine() {
    Clear();
}

void LiveLine::Show(const std::string& text, bool force) {
    if (!m_Enabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_Drawn && now - m_LastDraw < std::chrono::milliseconds(100)) {
        return;
    }
    // Carriage return and erase-to-end redraw the line in place.
    std::fputs(("\r\033[K" + text).c_str(), stdout);
    std::fflush(stdout);
    m_Drawn = true;
    m_LastDraw = now;
}

void LiveLine::Clear() {
    if (m_Enabled && m_Drawn) {
        std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
        m_Drawn = false;
    }
}

TransferProgress::TransferProgress(std::string label, int64_t total, bool enabled)
    : m_Label(std::move(label)), m_Total(total), m_Start(std::chrono::steady_clock::now()),
      m_Line(enabled && (total < 0 || total >= ThresholdBytes)) {}

void TransferProgress::Update(int64_t done) {
    if (!m_Line.Enabled() || (m_Total < 0 && done < ThresholdBytes)) {
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string text = m_Label + "  " + FormatBytes(done);
    if (m_Total > 0) {
        text += fmt::format(" / {}  {:3d}%", FormatBytes(m_Total),
                            static_cast<int>(done * 100 / m_Total));
    }
    text += "  " + FormatRate(rate);
    m_Line.Show(text);
}

} // namespace tool
