#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "GangConsole.h"

namespace {

// A terminal as strict as the consoles the gang meets: a character written into the last column
// wraps at once, a line feed on the last row scrolls, ESC [ n A stops at the top, ESC [ J at the
// top left corner moves the screen into the scroll-back (tmux). Counts the rows scrolled off and
// the wraps; notes any byte it does not know. A cell holds one UTF-8 character.
class Terminal {
  public:
    Terminal(unsigned rows, unsigned columns) { Resize(rows, columns, false); }

    // When the cursor would fall below the new last row, xterm pushes the rows up into the
    // scroll-back; others keep the top rows and put the cursor on the new last row.
    void Resize(unsigned rows, unsigned columns, bool keepTop) {
        if (keepTop)
            row_ = std::min(row_, rows - 1);
        if (row_ >= rows) {
            screen_.erase(screen_.begin(), screen_.begin() + (row_ - rows + 1));
            row_ = rows - 1;
        }
        screen_.resize(rows);
        for (auto& line : screen_) line.resize(columns, " ");
        rows_ = rows;
        columns_ = columns;
        column_ = std::min(column_, columns - 1);
    }
    void Put(unsigned row, const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) screen_[row][i] = text[i];
    }
    void MoveTo(unsigned row) { row_ = row; }

    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            const char c = bytes.front();
            bytes.remove_prefix(1);
            if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                LineFeed();
            } else if (c == '\x1b') {
                std::size_t end = 1;
                while (end < bytes.size() && bytes[end] >= '0' && bytes[end] <= '9') ++end;
                if (bytes.size() <= end || bytes[0] != '[') {
                    unknown_ += "ESC ";
                    continue;
                }
                const std::string digits(bytes.substr(1, end - 1));
                const unsigned n = digits.empty() ? 0 : static_cast<unsigned>(std::stoul(digits));
                const char command = bytes[end];
                bytes.remove_prefix(end + 1);
                if (command == 'A') {
                    row_ -= std::min(row_, n == 0 ? 1 : n);
                } else if (command == 'K' && (n == 0 || n == 2)) {
                    for (unsigned i = n == 2 ? 0 : column_; i < columns_; ++i)
                        screen_[row_][i] = " ";
                } else if (command == 'J' && n == 0) {
                    for (unsigned r = 0; r < rows_ && row_ == 0 && column_ == 0; ++r)
                        scrolled_ += Row(r).empty() ? 0 : 1;
                    for (unsigned i = column_; i < columns_; ++i) screen_[row_][i] = " ";
                    for (unsigned r = row_ + 1; r < rows_; ++r) screen_[r].assign(columns_, " ");
                } else {
                    unknown_ += "ESC[" + digits + command + " ";
                }
            } else if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) {
                screen_[lastRow_][lastColumn_] += c;  // the rest of a UTF-8 sequence
            } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                unknown_ += "control ";
            } else {
                screen_[row_][column_] = std::string(1, c);
                lastRow_ = row_;
                lastColumn_ = column_;
                if (++column_ == columns_) {
                    ++wrapped_;
                    column_ = 0;
                    LineFeed();
                }
            }
        }
    }

    // The row as text, trailing blanks dropped.
    std::string Row(unsigned row) const {
        std::string text;
        for (const std::string& cell : screen_[row]) text += cell;
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    }
    unsigned Rows() const { return rows_; }
    unsigned Columns() const { return columns_; }
    unsigned CursorRow() const { return row_; }
    unsigned CursorColumn() const { return column_; }
    std::size_t Scrolled() const { return scrolled_; }
    std::size_t Wrapped() const { return wrapped_; }
    const std::string& Unknown() const { return unknown_; }

  private:
    void LineFeed() {
        if (row_ + 1 < rows_) {
            ++row_;
            return;
        }
        screen_.erase(screen_.begin());
        screen_.emplace_back(columns_, " ");
        ++scrolled_;
    }

    std::vector<std::vector<std::string>> screen_;
    unsigned rows_ = 0, columns_ = 0, row_ = 0, column_ = 0, lastRow_ = 0, lastColumn_ = 0;
    std::size_t scrolled_ = 0, wrapped_ = 0;
    std::string unknown_;
};

// What the console wrote to file since the last call.
std::string Written(std::FILE* file, long& read) {
    (void)std::fflush(file);
    const long end = std::ftell(file);
    std::string bytes(static_cast<std::size_t>(end - read), '\0');
    (void)std::fseek(file, read, SEEK_SET);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    (void)std::fseek(file, 0, SEEK_END);
    read = end;
    return bytes;
}

// A gang at tick t (100 ms each): the ports start one a tick from the last one down, so that the
// longest running is not the first in port order, and end 12 ticks later; COM3, 11, 19, 27 NG.
std::vector<gang::PortView> Gang(unsigned ports, unsigned tick, const gang::PortResult* ok,
                                 const gang::PortResult* ng) {
    std::vector<gang::PortView> views;
    for (unsigned i = 0; i < ports; ++i) {
        const unsigned start = ports - 1 - i;
        gang::PortView view{"COM" + std::to_string(i + 1), gang::PortState::Waiting, 0, nullptr};
        if (tick >= start + 12)
            view = {view.portName, gang::PortState::Done, 1200, i % 8 == 2 ? ng : ok};
        else if (tick >= start)
            view = {view.portName, gang::PortState::Running, (tick - start) * 100ULL, nullptr};
        views.push_back(view);
    }
    return views;
}

struct Size {
    unsigned fromTick, rows, columns;
    bool keepTop = false;  // how the terminal takes the change (Terminal::Resize)
};

struct Case {
    const char* name;
    unsigned ports;
    std::vector<Size> sizes;  // the first from tick 0
    bool sizeKnown;
    unsigned startRow;  // where the run starts; the rows above hold earlier output
    unsigned lastTick;
    std::string reason;                                  // of every NG port
    std::size_t scrolled;                                // rows scrolled off in all
    unsigned cursorRow;                                  // at the end
    std::vector<std::pair<unsigned, std::string>> rows;  // rows of the screen at the end
};

const std::string NoAnswer = "no answer from the chip";
const std::string Summary32 = "32 ports: 2 NG, 12 running, 1 waiting, 17 OK";
const std::string NG19 = "COM19    NG       1.2 s     ";
const std::vector<std::pair<unsigned, std::string>> Full32 = {
    {0, Summary32},
    {1, NG19 + NoAnswer},
    {2, "COM27    NG       1.2 s     " + NoAnswer},
    {3, "COM13    running  1.1 s"},
    {4, "COM12    running  1.0 s"},
    {14, "COM2     running  0.0 s"},
    {15, "COM1     waiting"},
    {16, "COM14    OK       1.2 s"},
    {20, "COM18    OK       1.2 s"},
    {21, "COM20    OK       1.2 s"},
    {22, "COM21    OK       1.2 s"},
    {23, ""}};

TEST(GangConsole, LiveViewFitsTheTerminalAndNeverScrolls) {
    const std::string eLong = "\xC3\xA9" + std::string(60, 'x');  // é and more
    std::string e30;
    for (int i = 0; i < 30; ++i) e30 += "\xC3\xA9";
    // clang-format off
    const std::vector<Case> cases = {
        {"32 ports, 80x24", 32, {{0, 24, 80}}, true, 0, 30, NoAnswer, 0, 23, Full32},
        // The first view pushes up what stood above it; no redraw after it scrolls.
        {"32 ports from the last row", 32, {{0, 24, 80}}, true, 23, 30, NoAnswer, 23, 23, Full32},
        {"size not known", 32, {{0, 24, 80}}, false, 0, 30, NoAnswer, 0, 23, Full32},
        {"4 ports in port order", 4, {{0, 24, 80}}, true, 5, 14, NoAnswer, 0, 9,
         {{4, "earlier 4"}, {5, "COM1     running  1.1 s"}, {6, "COM2     OK       1.2 s"},
          {7, "COM3     NG       1.2 s     " + NoAnswer}, {8, "COM4     OK       1.2 s"}}},
        // é would be cut through: left out whole.
        {"30 columns, long reasons", 6, {{0, 24, 30}}, true, 0, 15, eLong, 0, 6,
         {{0, "COM1     running  1.0 s"}, {2, "COM3     NG       1.2 s"}}},
        {"40 columns", 32, {{0, 24, 40}}, true, 0, 30, e30, 0, 23,
         {{0, "32 ports: 2 NG, 12 running, 1 waiting"}, {1, NG19 + e30.substr(0, 10)}}},
        {"24 to 10 rows", 32, {{0, 24, 80}, {15, 10, 80}}, true, 0, 30, NoAnswer, 0, 9,
         {{0, Summary32}, {3, "COM13    running  1.1 s"}, {8, "COM8     running  0.6 s"}}},
        {"24 to 10 rows, top kept", 32, {{0, 24, 80}, {15, 10, 80, true}}, true, 0, 30, NoAnswer,
         0, 9, {{0, Summary32}, {8, "COM8     running  0.6 s"}}},
        // All done before: only the size changes, and the cursor was put on the view's last line.
        {"4 ports, 24 to 8 rows, top kept", 4, {{0, 24, 80}, {18, 8, 80, true}}, true, 5, 20,
         NoAnswer, 0, 7, {{2, "earlier 2"}, {3, "COM1     OK       1.2 s"},
                          {6, "COM4     OK       1.2 s"}}},
        {"10 to 24 rows", 32, {{0, 10, 80}, {15, 24, 80}}, true, 0, 30, NoAnswer, 0, 23, Full32},
        {"80 to 40 columns", 32, {{0, 24, 80}, {10, 24, 40}}, true, 0, 30, NoAnswer, 0, 23,
         {{0, "32 ports: 2 NG, 12 running, 1 waiting"}, {1, NG19 + "no answer f"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gang::PortResult ok, ng;
        ok.outcome = gang::Outcome::OK;
        ng.reason = c.reason;
        Terminal terminal(c.sizes[0].rows, c.sizes[0].columns);
        for (unsigned row = 0; row < c.startRow; ++row)
            terminal.Put(row, "earlier " + std::to_string(row));
        terminal.MoveTo(c.startRow);
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        long read = 0;
        gang::LiveConsole console(file, [&](unsigned& rows, unsigned& columns) {
            rows = terminal.Rows();
            columns = terminal.Columns();
            return c.sizeKnown;
        });
        for (unsigned tick = 0; tick <= c.lastTick; ++tick) {
            for (const Size& size : c.sizes) {
                if (size.fromTick == tick && tick > 0)
                    terminal.Resize(size.rows, size.columns, size.keepTop);
            }
            const std::vector<gang::PortView> ports = Gang(c.ports, tick, &ok, &ng);
            console.Show(ports);
            terminal.Feed(Written(file, read));
            console.Show(ports);
            EXPECT_EQ(Written(file, read), "") << "tick " << tick << ": nothing changed";
            EXPECT_EQ(terminal.CursorColumn(), 0u) << "tick " << tick;
            for (unsigned row = terminal.CursorRow(); row < terminal.Rows(); ++row)
                EXPECT_EQ(terminal.Row(row), "") << "tick " << tick << ", stale row " << row;
        }
        (void)std::fclose(file);
        EXPECT_EQ(terminal.Scrolled(), c.scrolled);
        EXPECT_EQ(terminal.Wrapped(), 0u);
        EXPECT_EQ(terminal.Unknown(), "");
        EXPECT_EQ(terminal.CursorRow(), c.cursorRow);
        for (const auto& [row, text] : c.rows) EXPECT_EQ(terminal.Row(row), text) << "row " << row;
    }
}

}  // namespace
