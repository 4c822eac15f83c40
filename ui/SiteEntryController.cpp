#include "ui/SiteEntryController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "protocol/log.h"

namespace zaq {
namespace {

constexpr unsigned char kScramble[4] = {0xC7, 0x15, 0x4C, 0x1B};
constexpr const char* kFolderName = "ZAQ Client";
constexpr const char* kFileName = "siteEntry.qvi";
// 500 cells of a few hundred bytes make some 100 KiB; anything far larger is not a book.
constexpr off_t kMaxFileSize = 8 << 20;

bool inTable(int column, int row) {
    return column >= 0 && column < kSiteEntryColumns && row >= 0 && row < kSiteEntryRows;
}

// Reads a regular file whole; false when it is missing, not a regular file, too large or
// unreadable.
bool readSmallFile(const std::string& path, std::string* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize;
    if (ok) {
        out->resize(size_t(st.st_size));
        size_t got = 0;
        while (got < out->size()) {
            ssize_t n = ::read(fd, out->data() + got, out->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // a file that shrank while being read ends early
            got += size_t(n);
        }
        out->resize(got);
    }
    ::close(fd);
    return ok;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Writes a temporary file beside `path` (mode 0600), flushes it to disk and renames it over
// `path`: readers and crashes see the old content or the new, never a part.
bool replaceFile(const std::string& path, const std::string& bytes) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        zlog("siteEntry: cannot create %s: %s", temp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        zlog("siteEntry: cannot write %s: %s", path.c_str(), std::strerror(error));
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

void scrambleSiteEntry(std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(static_cast<unsigned char>(bytes[i]) ^ kScramble[i % 4]);
}

bool isValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more;
        char32_t cp, min;
        if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;  // a continuation byte in first place, or 0xF8 and above
        }
        if (bytes.size() - i <= size_t(more)) return false;
        for (int k = 1; k <= more; ++k) {
            unsigned char d = static_cast<unsigned char>(bytes[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += size_t(more) + 1;
    }
    return true;
}

SiteEntryController::SiteEntryController(std::string path) : m_path(std::move(path)) {}

std::string SiteEntryController::getAppPath() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) return {};
    std::filesystem::path folder = std::filesystem::path(base.toStdString()) / kFolderName;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) zlog("siteEntry: cannot create %s: %s", folder.c_str(), error.message().c_str());
    return (folder / kFileName).string();
}

std::string SiteEntryController::filePath() const {
    return m_path.empty() ? getAppPath() : m_path;
}

void SiteEntryController::clearTable() {
    for (auto& column : m_data) {
        for (std::string& cell : column)
            cell.clear();
    }
}

void SiteEntryController::awakeFromNib() {
    zlog("SiteEntryController :: awakeFromNib");
    clearTable();
    onOpen();
}

bool SiteEntryController::onOpen() {
    zlog("onOpen");
    clearTable();
    std::string path = filePath();
    std::string bytes;
    if (path.empty() || !readSmallFile(path, &bytes)) return false;
    scrambleSiteEntry(bytes);
    if (!isValidUtf8(bytes)) {
        zlog("siteEntry: %s does not decode; the book starts empty", path.c_str());
        return false;
    }
    setPlainText(bytes);
    return true;
}

bool SiteEntryController::onClose() {
    std::string path = filePath();
    if (path.empty()) {
        zlog("siteEntry: no data location; the book is not saved");
        return false;
    }
    std::string bytes = plainText();
    scrambleSiteEntry(bytes);
    return replaceFile(path, bytes);
}

std::string SiteEntryController::plainText() const {
    std::string text;
    for (int c = 0; c < kSiteEntryColumns; ++c) {
        if (c > 0) text += "\r\n";
        for (int r = 0; r < kSiteEntryRows; ++r) {
            if (r > 0) text += '\t';
            text += m_data[c][r];
        }
    }
    return text;
}

void SiteEntryController::setPlainText(std::string_view text) {
    clearTable();
    size_t lineStart = 0;
    for (int c = 0; c < kSiteEntryColumns && lineStart <= text.size(); ++c) {
        size_t lineEnd = text.find("\r\n", lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        size_t fieldStart = 0;
        for (int r = 0; r < kSiteEntryRows && fieldStart <= line.size(); ++r) {
            size_t fieldEnd = line.find('\t', fieldStart);
            if (fieldEnd == std::string_view::npos) fieldEnd = line.size();
            // A lone CR or LF cannot come from an edit; dropping it keeps the cell savable.
            m_data[c][r] = stripCellText(line.substr(fieldStart, fieldEnd - fieldStart));
            fieldStart = fieldEnd + 1;
        }
        lineStart = lineEnd + 2;
    }
}

std::string SiteEntryController::stripCellText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch != '\t' && ch != '\r' && ch != '\n') out += ch;
    }
    return out;
}

std::string SiteEntryController::objectValueForTableColumn(int column, int row) const {
    if (!inTable(column, row)) return {};
    const std::string& value = m_data[column][row];
    if (column != kPasswordColumn) return value;
    size_t characters = 0;
    for (char ch : value) {
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++characters;
    }
    return std::string(characters, '*');
}

void SiteEntryController::setObjectValue(const std::string& value, int column, int row) {
    if (inTable(column, row)) m_data[column][row] = stripCellText(value);
}

std::string SiteEntryController::cell(int column, int row) const {
    return inTable(column, row) ? m_data[column][row] : std::string();
}

SiteEntry SiteEntryController::getEntryResult(int selectedRow) const {
    zlog("Selected Row : %d", selectedRow);
    SiteEntry entry;
    for (int c = 0; c < kSiteEntryColumns; ++c)
        entry[c] = cell(c, selectedRow);
    return entry;
}

}  // namespace zaq
