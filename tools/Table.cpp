#include "tools/Table.h"

#include <algorithm>

namespace tool {

namespace {

constexpr const char* Gap = "  ";

} // namespace

Table::Table(std::vector<Column> columns) : m_Columns(std::move(columns)) {
    for (Column& column : m_Columns) {
        column.Width = std::max(column.Width, DisplayWidth(column.Heading));
    }
}

int Table::DisplayWidth(const std::string& text) {
    int width = 0;
    for (const char c : text) {
        // Continuation bytes of a UTF-8 sequence take no column of their own.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++width;
        }
    }
    return width;
}

std::string Table::Header() const {
    std::vector<std::string> headings;
    std::vector<std::string> rules;
    for (const Column& column : m_Columns) {
        headings.push_back(column.Heading);
        rules.emplace_back(static_cast<size_t>(column.Width), '-');
    }
    return Line(headings) + Line(rules);
}

std::string Table::Row(const std::vector<std::string>& cells) const {
    return Line(cells);
}

std::string Table::Line(const std::vector<std::string>& cells) const {
    std::string line;
    for (size_t i = 0; i < m_Columns.size(); ++i) {
        const Column& column = m_Columns[i];
        const std::string cell = i < cells.size() ? cells[i] : std::string();
        const bool last = i + 1 == m_Columns.size();
        const size_t pad = static_cast<size_t>(std::max(0, column.Width - DisplayWidth(cell)));
        if (i > 0) {
            line += Gap;
        }
        if (column.Alignment == Align::Right) {
            line.append(pad, ' ').append(cell);
        } else {
            line.append(cell);
            if (!last) {
                line.append(pad, ' ');
            }
        }
    }
    // A last column left empty would leave trailing blanks.
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line + "\n";
}

} // namespace tool
