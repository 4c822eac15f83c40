// The site address book's table and its file, toolkit-free: 100 sites of five cells (name,
// address, port, ID, password), loaded when the book opens and written back when it closes.
// The window shows the table through the data-source calls below. Main thread only.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace zaq {

constexpr int kSiteEntryRows = 100;
constexpr int kSiteEntryColumns = 5;

// One site in column order: name, address, port, ID, password.
using SiteEntry = std::array<std::string, kSiteEntryColumns>;

// The file is the plain text XORed byte by byte with C7 15 4C 1B repeated; the same call
// scrambles and unscrambles.
void scrambleSiteEntry(std::string& bytes);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool isValidUtf8(std::string_view bytes);

class SiteEntryController {
  public:
    // Column names in file order; they are also the table's header texts.
    static constexpr std::array<const char*, kSiteEntryColumns> m_cols = {"Name", "IP/DNS", "Port",
                                                                          "ID", "Password"};
    static constexpr int kPasswordColumn = 4;

    // `path` is the book's file; empty means getAppPath(), asked at every load and save.
    explicit SiteEntryController(std::string path = {});

    // "siteEntry.qvi" in the folder "ZAQ Client" of the user's data location; the folder is
    // created when missing. Empty when the system names no such location.
    static std::string getAppPath();

    // Empties the table and loads the file.
    void awakeFromNib();
    // Empties the table, then fills it from the file. False when the file is missing,
    // unreadable or does not decode; the table stays empty then.
    bool onOpen();
    // Replaces the file with the table, atomically (a crash leaves the old file or the new one,
    // never a part), readable by its owner only. False when nothing could be written.
    bool onClose();

    // --- Data source of the window's table
    int numberOfRowsInTableView() const { return kSiteEntryRows; }
    // The cell as shown: passwords as one "*" per character; empty outside the table.
    std::string objectValueForTableColumn(int column, int row) const;
    // An edit: the cell takes the text without TAB, CR and LF, which would break the file's
    // layout. Ignored outside the table.
    void setObjectValue(const std::string& value, int column, int row);
    // The cell in clear (what an editor starts from); empty outside the table.
    std::string cell(int column, int row) const;

    // The five cells of the selected row; five empty strings without a selection (-1).
    SiteEntry getEntryResult(int selectedRow) const;

    // The table as the file's plain text: one line per column, cells joined by TAB, lines by
    // CR LF.
    std::string plainText() const;
    // Empties the table and fills it from plain text; extra lines and fields are ignored.
    void setPlainText(std::string_view text);

    // Removes TAB, CR and LF.
    static std::string stripCellText(std::string_view text);

  private:
    std::string filePath() const;
    void clearTable();

    std::string m_path;
    // Row r of column c is m_data[c][r].
    std::array<std::array<std::string, kSiteEntryRows>, kSiteEntryColumns> m_data;
};

}  // namespace zaq
