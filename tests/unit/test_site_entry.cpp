// The address book's table and file: the fresh book, round trips, the loader's limits, files
// that do not decode, cells that would break the layout, and saving that fails.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/test_support.h"
#include "ui/SiteEntryController.h"

namespace zaq {
namespace {

namespace fs = std::filesystem;

// Every cell of the table; equal tables compare equal.
std::vector<std::string> cellsOf(const SiteEntryController& c) {
    std::vector<std::string> cells;
    for (int col = 0; col < kSiteEntryColumns; ++col) {
        for (int row = 0; row < kSiteEntryRows; ++row)
            cells.push_back(c.cell(col, row));
    }
    return cells;
}

bool tableIsEmpty(const SiteEntryController& c) {
    for (const std::string& cell : cellsOf(c)) {
        if (!cell.empty()) return false;
    }
    return true;
}

std::string emptyBookText() {
    std::string line(kSiteEntryRows - 1, '\t');
    return line + "\r\n" + line + "\r\n" + line + "\r\n" + line + "\r\n" + line;
}

class SiteEntryFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "site_entry_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        path = (dir / "siteEntry.qvi").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string readBytes() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string readPlain() const {
        std::string bytes = readBytes();
        scrambleSiteEntry(bytes);
        return bytes;
    }
    void writeBytes(const std::string& bytes) const {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void writePlain(std::string plain) const {
        scrambleSiteEntry(plain);
        writeBytes(plain);
    }
    // Names in the folder other than the book itself (left-over temporary files).
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().filename() != "siteEntry.qvi") names.push_back(e.path().filename());
        }
        return names;
    }

    fs::path dir;
    std::string path;
};

TEST_F(SiteEntryFile, FreshInstallShowsEmptyRowsAndClosingWritesTheEmptyBook) {
    SiteEntryController book(path);
    book.awakeFromNib();
    EXPECT_EQ(book.numberOfRowsInTableView(), 100);
    EXPECT_TRUE(tableIsEmpty(book));

    ASSERT_TRUE(book.onClose());
    std::string bytes = readBytes();
    ASSERT_EQ(bytes.size(), 503u);
    // TAB (09) under the repeating C7 15 4C 1B.
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xCE\x1C\x45\x12"));
    EXPECT_EQ(readPlain(), emptyBookText());

    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds passwords";
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(SiteEntryFile, EditedCellsRoundTrip) {
    const SiteEntry sites[] = {
        {"Head office", "192.168.0.20", "5445", "usher", "7394"},
        {"東京 倉庫", "dvr.example.net", "15445", "gérant", "pässwörd"},
        {"Ünïcödé ✓ 🎥", "", "", "", ""},
    };
    const int rows[] = {0, 57, 99};
    SiteEntryController book(path);
    book.awakeFromNib();
    for (int k = 0; k < 3; ++k) {
        for (int c = 0; c < kSiteEntryColumns; ++c)
            book.setObjectValue(sites[k][c], c, rows[k]);
    }
    ASSERT_TRUE(book.onClose());

    SiteEntryController again(path);
    again.awakeFromNib();
    EXPECT_EQ(cellsOf(again), cellsOf(book));
    EXPECT_EQ(again.getEntryResult(57), sites[1]);
}

TEST_F(SiteEntryFile, ShortenedCellGivesAShorterFileThatLoadsBackIdentically) {
    SiteEntryController book(path);
    book.awakeFromNib();
    book.setObjectValue("Warehouse north gate", 0, 3);
    book.setObjectValue("10.0.0.7", 1, 3);
    ASSERT_TRUE(book.onClose());
    const size_t longSize = readBytes().size();

    book.setObjectValue("WH", 0, 3);
    ASSERT_TRUE(book.onClose());
    EXPECT_EQ(readBytes().size(), longSize - 18);
    EXPECT_EQ(readBytes().size(), 503u + 2 + 8);

    SiteEntryController again(path);
    again.awakeFromNib();
    EXPECT_EQ(cellsOf(again), cellsOf(book));
}

TEST_F(SiteEntryFile, PasswordsShowOneAsteriskPerCharacter) {
    SiteEntryController book(path);
    book.setObjectValue("abc", SiteEntryController::kPasswordColumn, 1);
    book.setObjectValue("pä€🎥", SiteEntryController::kPasswordColumn, 2);
    book.setObjectValue("abc", 3, 1);
    EXPECT_EQ(book.objectValueForTableColumn(4, 0), "");
    EXPECT_EQ(book.objectValueForTableColumn(4, 1), "***");
    EXPECT_EQ(book.objectValueForTableColumn(4, 2), "****");
    EXPECT_EQ(book.objectValueForTableColumn(3, 1), "abc") << "only the password is masked";
    EXPECT_EQ(book.getEntryResult(1)[4], "abc") << "handed over in clear";
}

// Plain texts the loader must read without leaving the table; `filled` lists the cells that
// end up non-empty, as (column, row, text).
struct LoadCase {
    const char* name;
    std::string plain;
    std::vector<std::tuple<int, int, std::string>> filled;
};

std::string fields(int count, const std::string& prefix) {
    std::string line;
    for (int k = 0; k < count; ++k)
        line += (k ? "\t" : "") + prefix + std::to_string(k);
    return line;
}

std::vector<std::tuple<int, int, std::string>> rowsOf(int column, int count,
                                                      const std::string& prefix) {
    std::vector<std::tuple<int, int, std::string>> cells;
    for (int k = 0; k < count; ++k)
        cells.emplace_back(column, k, prefix + std::to_string(k));
    return cells;
}

TEST_F(SiteEntryFile, LoaderFillsOnlyWhatTheFileHoldsAndNeverOverruns) {
    const LoadCase cases[] = {
        {"second line of three fields", "\r\na\tb\tc", {{1, 0, "a"}, {1, 1, "b"}, {1, 2, "c"}}},
        {"empty file", "", {}},
        {"empty fields in between", "\t\tx\t\ty", {{0, 2, "x"}, {0, 4, "y"}}},
        {"seven lines",
         "n\r\ni\r\np\r\nu\r\nw\r\nsixth\r\nseventh",
         {{0, 0, "n"}, {1, 0, "i"}, {2, 0, "p"}, {3, 0, "u"}, {4, 0, "w"}}},
        {"line end after the fifth line", "\r\n\r\n\r\n\r\nw\r\n", {{4, 0, "w"}}},
        {"150 fields in a line", "\r\n\r\n" + fields(150, "f"), rowsOf(2, 100, "f")},
        {"lone CR and LF inside a field", "a\rb\tc\nd", {{0, 0, "ab"}, {0, 1, "cd"}}},
    };
    for (const LoadCase& lc : cases) {
        SCOPED_TRACE(lc.name);
        writePlain(lc.plain);
        SiteEntryController book(path);
        book.setObjectValue("left over", 0, 50);
        EXPECT_TRUE(book.onOpen());
        std::vector<std::string> expected(kSiteEntryColumns * kSiteEntryRows);
        for (const auto& [col, row, text] : lc.filled)
            expected[size_t(col * kSiteEntryRows + row)] = text;
        EXPECT_EQ(cellsOf(book), expected);
    }
}

TEST_F(SiteEntryFile, FileThatDoesNotDecodeGivesAnEmptyTableAndIsOverwritten) {
    const std::pair<const char*, std::string> cases[] = {
        {"bytes that are no UTF-8", std::string("Name\t\xFF\xFE", 7)},
        {"a character cut at the end", "Caf\xC3"},
        {"overlong form", "\xC0\xAF"},
        {"surrogate", "\xED\xA0\x80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
    };
    for (const auto& [name, plain] : cases) {
        SCOPED_TRACE(name);
        writePlain(plain);
        SiteEntryController book(path);
        book.setObjectValue("left over", 0, 0);
        EXPECT_FALSE(book.onOpen());
        EXPECT_TRUE(tableIsEmpty(book));
    }
    // A file never scrambled reads as garbage too.
    writeBytes("Head office\t\r\n10.0.0.1");
    SiteEntryController book(path);
    book.awakeFromNib();
    EXPECT_TRUE(tableIsEmpty(book));
    ASSERT_TRUE(book.onClose());
    EXPECT_EQ(readPlain(), emptyBookText());
}

TEST_F(SiteEntryFile, CellsLoseTabCrAndLfSoTheFileAlwaysReadsBack) {
    SiteEntryController book(path);
    book.setObjectValue("North\tgate\r\nsite", 0, 0);
    book.setObjectValue("\t\r\n", 1, 0);
    book.setObjectValue("1\n2", 1, 1);
    EXPECT_EQ(book.cell(0, 0), "Northgatesite");
    EXPECT_EQ(book.cell(1, 0), "");
    EXPECT_EQ(book.cell(1, 1), "12");
    ASSERT_TRUE(book.onClose());
    SiteEntryController again(path);
    ASSERT_TRUE(again.onOpen());
    EXPECT_EQ(cellsOf(again), cellsOf(book));
}

TEST_F(SiteEntryFile, CellsOutsideTheTableAreNothing) {
    SiteEntryController book(path);
    for (auto [col, row] : {std::pair{-1, 0}, {5, 0}, {0, -1}, {0, 100}}) {
        book.setObjectValue("x", col, row);
        EXPECT_EQ(book.cell(col, row), "");
        EXPECT_EQ(book.objectValueForTableColumn(col, row), "");
    }
    EXPECT_TRUE(tableIsEmpty(book));
    EXPECT_EQ(book.getEntryResult(100), SiteEntry{});
}

TEST_F(SiteEntryFile, SelectedRowGivesItsFiveCellsAndNoSelectionGivesNothing) {
    test::LogCapture log;
    SiteEntryController book(path);
    SiteEntry site{"Depot", "depot.example.org", "5445", "usher", "secret"};
    for (int c = 0; c < kSiteEntryColumns; ++c)
        book.setObjectValue(site[c], c, 7);
    EXPECT_EQ(book.getEntryResult(7), site);
    EXPECT_EQ(book.getEntryResult(-1), SiteEntry{});
    EXPECT_TRUE(log.contains("Selected Row : 7"));
    EXPECT_TRUE(log.contains("Selected Row : -1"));
}

TEST_F(SiteEntryFile, ReplacesALooserFileWithAnOwnerOnlyOne) {
    writePlain(emptyBookText());
    ::chmod(path.c_str(), 0644);
    SiteEntryController book(path);
    book.awakeFromNib();
    book.setObjectValue("x", 0, 0);
    ASSERT_TRUE(book.onClose());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SiteEntryFile, SaveThatCannotWriteSaysSoAndLeavesNothingBehind) {
    // A folder where the file should be: nothing can replace it.
    fs::create_directory(path);
    test::LogCapture log;
    SiteEntryController book(path);
    book.awakeFromNib();
    EXPECT_TRUE(tableIsEmpty(book));
    EXPECT_FALSE(book.onClose());
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(strayFiles().empty());

    SiteEntryController nowhere((dir / "missing" / "siteEntry.qvi").string());
    EXPECT_FALSE(nowhere.onClose());
}

// The real location: the XDG data folder, with the folder made on demand.
TEST_F(SiteEntryFile, LivesInTheUsersDataFolder) {
    const char* old = ::getenv("XDG_DATA_HOME");
    std::string saved = old ? old : "";
    fs::path data = dir / "data";
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    std::string appPath = SiteEntryController::getAppPath();
    EXPECT_EQ(appPath, (data / "ZAQ Client" / "siteEntry.qvi").string());
    EXPECT_TRUE(fs::is_directory(data / "ZAQ Client"));

    SiteEntryController book;
    book.awakeFromNib();
    book.setObjectValue("Home", 0, 0);
    EXPECT_TRUE(book.onClose());
    SiteEntryController again;
    EXPECT_TRUE(again.onOpen());
    EXPECT_EQ(again.cell(0, 0), "Home");
    if (old) {
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace zaq
