#include "reliability/StressSupport.h"

#include "platform/FXErrorUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>


namespace stress {

namespace {

const char kTag[] = "TAGHD01";
const size_t kTagSize = 7;

void PutLittleEndian(std::string& bytes, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t GetLittleEndian(const char* data, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return value;
}

uint64_t StreamSeed(long long afileId, long long afileOffset, uint32_t generation) {
    Random mix(static_cast<uint64_t>(afileId) * 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(afileOffset));
    return mix.Next() ^ (static_cast<uint64_t>(generation) << 17) ^ generation;
}

std::string Join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The afile folders below a database root: root / bucket / afile_*; upload
// folders (".upload") are work in progress of a write-back and left out.
std::vector<std::string> AfileFolders(const std::string& dbRoot) {
    std::vector<std::string> folders;
    for (const std::string& bucket : Entries(dbRoot)) {
        const std::string bucketPath = Join(dbRoot, bucket);
        if (!IsFolder(bucketPath)) continue;
        for (const std::string& name : Entries(bucketPath)) {
            const std::string path = Join(bucketPath, name);
            if (name.compare(0, 6, "afile_") == 0 && !EndsWith(name, ".upload") && IsFolder(path))
                folders.push_back(path);
        }
    }
    return folders;
}

struct Region {
    std::string file;
    long long offset;
    long long length;
    std::string row;  // for messages
};

class Database {
public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            error = db ? sqlite3_errmsg(db) : "cannot open";
        }
    }
    ~Database() {
        if (db) sqlite3_close(db);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool Ok() const { return error.empty(); }
    const std::string& Error() const { return error; }

    // Rows of a query, each column as text; false (and Error) on failure.
    bool Rows(const std::string& sql, std::vector<std::vector<std::string>>& rows) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db);
            return false;
        }
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const unsigned char* text = sqlite3_column_text(statement, i);
                row.push_back(text ? reinterpret_cast<const char*>(text) : "");
            }
            rows.push_back(row);
        }
        if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE;
    }

private:
    sqlite3* db = nullptr;
    std::string error;
};

// "loc:<path>:<offset>:<length>" into its parts; false when malformed.
bool ParseLocation(const std::string& text, std::string& path, long long& offset, long long& length) {
    if (text.compare(0, 4, "loc:") != 0) return false;
    const std::string rest = text.substr(4);
    const size_t second = rest.rfind(':');
    if (second == std::string::npos || second == 0) return false;
    const size_t first = rest.rfind(':', second - 1);
    if (first == std::string::npos) return false;
    path = rest.substr(0, first);
    char* end = nullptr;
    const std::string offsetText = rest.substr(first + 1, second - first - 1);
    const std::string lengthText = rest.substr(second + 1);
    offset = std::strtoll(offsetText.c_str(), &end, 10);
    if (offsetText.empty() || *end != '\0') return false;
    length = std::strtoll(lengthText.c_str(), &end, 10);
    if (lengthText.empty() || *end != '\0') return false;
    return !path.empty() && path[0] != '/' && path.find("..") == std::string::npos && offset >= 0 && length >= 0;
}

bool ReadRegion(const std::string& path, long long offset, long long length, std::string& bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes.assign(static_cast<size_t>(length), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pread(fd, &bytes[done], bytes.size() - done, offset + static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == bytes.size();
}

void CheckDatabase(const std::string& dbFile, const std::string& dataRoot, LocationCheck& check,
                   std::vector<Region>& regions) {
    Database db(dbFile);
    if (!db.Ok()) {
        check.problems.push_back(dbFile + ": cannot open: " + db.Error());
        return;
    }
    ++check.databases;
    std::vector<std::vector<std::string>> rows;
    if (!db.Rows("PRAGMA integrity_check", rows) || rows.empty() || rows[0].empty() || rows[0][0] != "ok") {
        check.problems.push_back(dbFile + ": integrity_check: " +
                                 (rows.empty() || rows[0].empty() ? db.Error() : rows[0][0]));
        return;
    }
    std::vector<std::vector<std::string>> vms;
    if (!db.Rows("SELECT TessarelID, CopyID, AfileID, ValidityGUID FROM VMs", vms)) {
        check.problems.push_back(dbFile + ": VMs: " + db.Error());
        return;
    }
    std::map<std::string, std::string> guidOfVM;  // "tessarel_copy_afile" -> validity GUID
    for (const auto& vm : vms) guidOfVM[vm[0] + "_" + vm[1] + "_" + vm[2]] = vm[3];

    std::vector<std::vector<std::string>> extents;
    if (!db.Rows("SELECT AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, ValidityGUID FROM Extents",
                 extents)) {
        check.problems.push_back(dbFile + ": Extents: " + db.Error());
        return;
    }
    for (const auto& row : extents) {
        ++check.extentRows;
        const std::string& location = row[4];
        if (location.empty()) continue;
        const std::string name = dbFile + " row afile=" + row[0] + " offset=" + row[1];
        std::string path;
        long long offset = 0, length = 0;
        if (!ParseLocation(location, path, offset, length)) {
            check.problems.push_back(name + ": malformed location [" + location + "]");
            continue;
        }
        auto vm = guidOfVM.find(row[2] + "_" + row[3] + "_" + row[0]);
        const bool current = vm != guidOfVM.end() && !vm->second.empty() && vm->second == row[5];
        const std::string flatFile = Join(dataRoot, path);
        // A reader is served only from a location of the VM row's current
        // validity GUID whose flat file is there.
        if (!current || !IsFile(flatFile)) continue;
        ++check.servedRows;
        std::string bytes;
        if (!ReadRegion(flatFile, offset, length, bytes)) {
            check.problems.push_back(name + ": region " + location + " lies beyond the end of its flat file");
            continue;
        }
        uint32_t generation = 0;
        std::string why;
        if (!CheckExtentBytes(std::atoll(row[0].c_str()), std::atoll(row[1].c_str()), bytes.data(), bytes.size(),
                              generation, why)) {
            check.problems.push_back(name + ": region " + location + " holds wrong bytes: " + why);
            continue;
        }
        check.bytesChecked += length;
        regions.push_back(Region{flatFile, offset, length, name});
    }
}

}  // namespace

// ---- checkable extents

uint64_t Random::Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::string ExtentBytes(long long afileId, long long afileOffset, uint32_t generation, size_t length) {
    length = std::max(length, kHeaderSize);
    std::string bytes(kTag, kTagSize);
    bytes.reserve(length);
    PutLittleEndian(bytes, static_cast<uint64_t>(afileId), 8);
    PutLittleEndian(bytes, static_cast<uint64_t>(afileOffset), 8);
    PutLittleEndian(bytes, generation, 4);
    PutLittleEndian(bytes, length, 4);
    Random stream(StreamSeed(afileId, afileOffset, generation));
    while (bytes.size() < length) {
        uint64_t value = stream.Next();
        for (int i = 0; i < 8 && bytes.size() < length; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
    }
    return bytes;
}

bool CheckExtentBytes(long long afileId, long long afileOffset, const char* data, size_t size, uint32_t& generation,
                      std::string& why) {
    if (data == nullptr || size < kHeaderSize) {
        why = "only " + std::to_string(size) + " bytes";
        return false;
    }
    if (std::memcmp(data, kTag, kTagSize) != 0) {
        why = "no tag";
        return false;
    }
    const long long afile = static_cast<long long>(GetLittleEndian(data + 7, 8));
    const long long offset = static_cast<long long>(GetLittleEndian(data + 15, 8));
    generation = static_cast<uint32_t>(GetLittleEndian(data + 23, 4));
    const size_t length = static_cast<size_t>(GetLittleEndian(data + 27, 4));
    if (afile != afileId || offset != afileOffset) {
        why = "bytes of afile " + std::to_string(afile) + " offset " + std::to_string(offset);
        return false;
    }
    if (length != size) {
        why = "generation " + std::to_string(generation) + " of length " + std::to_string(length) + ", got " +
              std::to_string(size) + " bytes";
        return false;
    }
    const std::string expected = ExtentBytes(afileId, afileOffset, generation, length);
    if (std::memcmp(expected.data(), data, size) != 0) {
        size_t at = 0;
        while (at < size && expected[at] == data[at]) ++at;
        why = "generation " + std::to_string(generation) + " differs from byte " + std::to_string(at);
        return false;
    }
    return true;
}

uint64_t RunSeed(uint64_t fallback) {
    const char* text = std::getenv("LBC_STRESS_SEED");
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// ---- error tally

void ErrorTally::Merge(const ErrorTally& other) {
    for (const auto& entry : other.counts) counts[entry.first] += entry.second;
}

long long ErrorTally::Total() const {
    long long total = 0;
    for (const auto& entry : counts) total += entry.second;
    return total;
}

long long ErrorTally::Of(const std::string& code) const {
    auto found = counts.find(code);
    return found == counts.end() ? 0 : found->second;
}

std::string ErrorTally::AsText() const {
    std::string text;
    for (const auto& entry : counts) {
        if (!text.empty()) text += " ";
        text += entry.first + "=" + std::to_string(entry.second);
    }
    return text;
}

ErrorTally ErrorTally::FromText(const std::string& text) {
    ErrorTally tally;
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        size_t equals = item.rfind('=');
        if (equals == std::string::npos) continue;
        tally.counts[item.substr(0, equals)] += std::atoll(item.c_str() + equals + 1);
    }
    return tally;
}

std::string ErrorCode(const CZoError& err) {
    const boost::shared_ptr<FXErrorPrivate>& details = err.Details();
    if (!err.IsError() || !details) return "none";
    const char* category = "int";
    switch (details->category) {
        case FXErrorCategory::Int: category = "int"; break;
        case FXErrorCategory::Win32: category = "win32"; break;
        case FXErrorCategory::ErrNo: category = "errno"; break;
        case FXErrorCategory::SQLite: category = "sqlite"; break;
    }
    return std::string(category) + ":" + std::to_string(details->code);
}

// ---- the location check

LocationCheck CheckLocation(const std::string& dbRoot, const std::string& dataRoot) {
    LocationCheck check;
    std::vector<Region> regions;
    for (const std::string& folder : AfileFolders(dbRoot)) {
        const std::string dbFile = Join(folder, "afile_cache.db");
        if (IsFile(dbFile)) CheckDatabase(dbFile, dataRoot, check, regions);
    }
    std::sort(regions.begin(), regions.end(), [](const Region& a, const Region& b) {
        return a.file != b.file ? a.file < b.file : a.offset < b.offset;
    });
    for (size_t i = 1; i < regions.size(); ++i) {
        const Region& before = regions[i - 1];
        const Region& region = regions[i];
        if (before.file == region.file && region.offset < before.offset + before.length)
            check.problems.push_back(region.row + " at " + std::to_string(region.offset) + " overlaps " + before.row +
                                     " at " + std::to_string(before.offset) + "+" + std::to_string(before.length));
    }
    return check;
}

std::vector<std::string> FindLockFiles(const std::string& dbRoot) {
    std::vector<std::string> files;
    for (const std::string& folder : AfileFolders(dbRoot)) {
        const std::string lockFile = Join(folder, "lockfile");
        if (IsFile(lockFile)) files.push_back(lockFile);
    }
    return files;
}

}  // namespace stress
