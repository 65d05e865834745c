#include "metadb/SQLiteQueries.h"
#include "platform/FXDatabase.h"
#include "platform/FXString.h"

#include <vector>

namespace {

const char* const c_extentColumns =
    "(AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, DiskID, JobID, "
    "InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2)";

std::string Quoted(const std::string& text) { return FX::CDatabaseBase::EscapeText(text); }

std::string JoinConditions(const std::vector<std::string>& conditions) {
    if (conditions.empty()) return std::string();
    std::string clause = "WHERE ";
    for (size_t i = 0; i < conditions.size(); ++i) {
        if (i != 0) clause += " AND ";
        clause += conditions[i];
    }
    return clause;
}

std::string Limit(size_t batchSize, size_t offset) {
    if (batchSize == 0) return std::string();
    return FXString::Format("LIMIT %lu,%lu", static_cast<unsigned long>(offset), static_cast<unsigned long>(batchSize));
}

std::string ExtentRowValues(const Extent& row, long long insertionTime) {
    return FXString::Format(
        " VALUES ('%lld', '%lld', '%u', '%u', '%s', '%s', '%lld', '%s', '%s', '%lld', '%lld', '%d', '%s', '%s', "
        "'%u')",
        row.AfileID, row.AfileOffset, row.TessarelID, row.CopyID, Quoted(row.CacheLocation).c_str(),
        Quoted(row.Signature).c_str(), row.ExtentID, Quoted(row.VMGUID).c_str(), Quoted(row.DiskID).c_str(), row.JobID,
        insertionTime, row.Flags, Quoted(row.ValidityGUID).c_str(), Quoted(row.Reserved1).c_str(), 0u);
}

}  // namespace

std::string SQLiteQueries::Clause(const ExtentsParam& filter) {
    std::vector<std::string> conditions;
    if (filter.AfileID != 0) conditions.push_back(FXString::Format("AfileID=%lld", filter.AfileID));
    if (filter.JobID != 0) conditions.push_back(FXString::Format("JobID=%lld", filter.JobID));
    if (filter.TessarelID != 0) conditions.push_back(FXString::Format("TessarelID=%u", filter.TessarelID));
    if (filter.CopyID != 0) conditions.push_back(FXString::Format("CopyID=%u", filter.CopyID));
    if (filter.Flags != 0) conditions.push_back(FXString::Format("Flags=%d", filter.Flags));
    return JoinConditions(conditions);
}

std::string SQLiteQueries::Clause(const VMJobParam& filter) {
    std::vector<std::string> conditions;
    if (filter.AfileID != 0) conditions.push_back(FXString::Format("AfileID=%lld", filter.AfileID));
    if (filter.JobID != 0) conditions.push_back(FXString::Format("BackupJobID=%lld", filter.JobID));
    if (filter.TessarelID != 0) conditions.push_back(FXString::Format("TessarelID=%u", filter.TessarelID));
    if (filter.CopyID != 0) conditions.push_back(FXString::Format("CopyID=%u", filter.CopyID));
    return JoinConditions(conditions);
}

std::string SQLiteQueries::QueryExtent(const ExtentParam& key) {
    std::string sql =
        FXString::Format("SELECT * FROM Extents WHERE AfileID=%lld AND AfileOffset=%lld AND TessarelID=%u ",
                         key.AfileID, key.AfileOffset, key.TessarelID);
    if (key.CopyID != 0) sql += FXString::Format("AND CopyID = %u ", key.CopyID);
    if (key.Flags != 0) sql += FXString::Format("AND Flags = %d", key.Flags);
    return sql;
}

std::string SQLiteQueries::QueryExtents(const ExtentsParam& filter, size_t batchSize, size_t offset) {
    return "SELECT * FROM Extents " + Clause(filter) + " ORDER BY TessaRelID,CopyID,AfileID,AfileOffset " +
           Limit(batchSize, offset);
}

std::string SQLiteQueries::QueryVMs(const VMJobParam& filter, size_t batchSize, size_t offset) {
    return "SELECT * FROM VMs " + Clause(filter) + " ORDER BY TessaRelID,CopyID,AfileID DESC " +
           Limit(batchSize, offset);
}

std::string SQLiteQueries::QueryAllVMs() { return "SELECT * FROM VMs ORDER BY LastReferenceTime ASC"; }

std::string SQLiteQueries::QueryVM(const VM& vm) {
    std::string sql =
        FXString::Format("SELECT * FROM VMs WHERE TessarelID=%u AND AfileID=%lld ", vm.TessarelID, vm.AfileID);
    if (vm.CopyID != 0) sql += FXString::Format("AND CopyID = %u", vm.CopyID);
    return sql;
}

std::string SQLiteQueries::QueryExtentsCount(const ExtentsParam& filter) {
    return "SELECT COUNT(*) FROM Extents " + Clause(filter);
}

std::string SQLiteQueries::QueryVMCount(const VMJobParam& filter) {
    return "SELECT COUNT(*) FROM VMs " + Clause(filter);
}

std::string SQLiteQueries::InsertExtent(const Extent& row, long long insertionTime) {
    return std::string("INSERT INTO Extents ") + c_extentColumns + ExtentRowValues(row, insertionTime);
}

std::string SQLiteQueries::UpdateExtent(const Extent& row, long long insertionTime) {
    return std::string("INSERT OR REPLACE INTO Extents ") + c_extentColumns + ExtentRowValues(row, insertionTime);
}

std::string SQLiteQueries::DeleteExtent(const ExtentParam& key) {
    return FXString::Format(
        "DELETE FROM Extents WHERE AfileID='%lld' AND AfileOffset='%lld' AND TessarelID='%u' AND CopyId='%u'",
        key.AfileID, key.AfileOffset, key.TessarelID, key.CopyID);
}

std::string SQLiteQueries::DeleteExtents(const ExtentsParam& filter, size_t limit) {
    std::string sql = "DELETE FROM Extents " + Clause(filter);
    if (limit != 0) sql += FXString::Format(" LIMIT %lu", static_cast<unsigned long>(limit));
    return sql;
}

std::string SQLiteQueries::ResetExtentsCacheLocation(const ExtentsParam& filter) {
    return FXString::Format(
        "UPDATE OR IGNORE Extents SET CacheLocation=NULL WHERE VMGUID='%s' AND JobID='%lld' AND TessarelID='%u'",
        Quoted(filter.VM).c_str(), filter.JobID, filter.TessarelID);
}

std::string SQLiteQueries::InsertUpdateVM(const VM& vm, bool insertOnly) {
    std::string sql = insertOnly ? "INSERT INTO VMs" : "INSERT OR REPLACE INTO VMs";
    sql += FXString::Format(
        " (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) VALUES ('%s', '%lld', "
        "'%lld', '%s', '%lld', '%u', '%u')",
        Quoted(vm.GUID).c_str(), vm.JobID, vm.LastReferenceTime, Quoted(vm.ValidityGUID).c_str(), vm.AfileID,
        vm.TessarelID, vm.CopyID);
    return sql;
}
