#pragma once

#include <string>
#include <vector>

namespace tool {

// A plain-text table that can be printed row by row as results come in: every column but
// the last has a fixed width (at least its heading's), and the last takes whatever is left,
// so a long detail never shifts the columns before it.
class Table {
public:
    enum class Align { Left, Right };
    struct Column {
        std::string Heading;
        int Width = 0;
        Align Alignment = Align::Left;
    };

    explicit Table(std::vector<Column> columns);

    // The heading line and a rule under it, each ending in a newline.
    std::string Header() const;
    // One line for cells (missing cells print empty, extra ones are dropped).
    std::string Row(const std::vector<std::string>& cells) const;

    // Display width of UTF-8 text: one column per code point.
    static int DisplayWidth(const std::string& text);

private:
    std::string Line(const std::vector<std::string>& cells) const;

    std::vector<Column> m_Columns;
};

} // namespace tool
