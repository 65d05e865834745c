#include "bench/CallgrindCost.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// What one dump holds, summed over the whole dump.
struct Counts {
    double instructions = 0;
    // Instructions inside the calls into SQLite, what SQLite calls included
    // (its allocations, its copies, its file calls).
    double sqlite = 0;
    double syscalls = 0;    // clock reads left out
    double clockReads = 0;  // through the vDSO, no system calls outside valgrind
    double mallocs = 0;
    double news = 0;  // C++ operator new, each also one malloc
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsSQLite(const std::string& object) { return object.find("libsqlite3") != std::string::npos; }

// One callgrind dump, written with --compress-strings=no and
// --compress-pos=no: every name in full, every position absolute. A cost
// line after "calls=" is the inclusive cost of that call, which the callee's
// own lines count again; every other cost line is the current function's own.
// "cob=" names the callee's object for the next call only, when it is not
// the caller's.
bool ReadDump(const std::string& path, std::string& phase, Counts& counts) {
    std::ifstream in(path);
    if (!in) return false;
    size_t positions = 1;
    int irColumn = -1, syscallColumn = -1;
    std::string object, function, callee, calleeObject, line;
    bool callCost = false, intoSQLite = false;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const char first = line[0];
        if ((first >= '0' && first <= '9') || first == '+' || first == '-' || first == '*') {
            std::istringstream fields(line);
            std::string word;
            for (size_t i = 0; i < positions && fields >> word; ++i) {
            }
            double value;
            for (int column = 0; fields >> value; ++column) {
                if (callCost) {
                    if (column == irColumn && intoSQLite) counts.sqlite += value;
                } else if (column == irColumn) {
                    counts.instructions += value;
                } else if (column == syscallColumn) {
                    (StartsWith(function, "clock_gettime") ? counts.clockReads : counts.syscalls) += value;
                }
            }
            callCost = false;
        } else if (StartsWith(line, "ob=")) {
            object = line.substr(3);
        } else if (StartsWith(line, "fn=")) {
            function = line.substr(3);
        } else if (StartsWith(line, "cob=")) {
            calleeObject = line.substr(4);
        } else if (StartsWith(line, "cfn=")) {
            callee = line.substr(4);
        } else if (StartsWith(line, "calls=")) {
            const double calls = atof(line.c_str() + 6);
            if (callee == "malloc" || StartsWith(callee, "malloc'")) counts.mallocs += calls;
            if (StartsWith(callee, "operator new")) counts.news += calls;
            // Counted where the call comes from outside SQLite, so nothing
            // SQLite does is counted twice.
            // SQLite's calls to itself through a stub valgrind names no
            // object for ("???") are its own.
            intoSQLite = !IsSQLite(object) && object != "???" &&
                         IsSQLite(calleeObject.empty() ? object : calleeObject);
            calleeObject.clear();
            callCost = true;
        } else if (StartsWith(line, "positions:")) {
            std::istringstream words(line.substr(10));
            std::string word;
            positions = 0;
            while (words >> word) ++positions;
        } else if (StartsWith(line, "events:")) {
            std::istringstream words(line.substr(7));
            std::string word;
            for (int column = 0; words >> word; ++column) {
                if (word == "Ir") irColumn = column;
                if (word == "sysCount") syscallColumn = column;
            }
        } else if (StartsWith(line, "desc: Trigger: Client Request: ")) {
            phase = line.substr(31);
        }
    }
    return irColumn >= 0;
}

std::string Thousands(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1fk", value / 1000.0);
    return text;
}

}  // namespace

bool PrintCostTable(const std::string& self, const std::vector<std::string>& stores, const std::string& folder,
                    int count) {
    if (system("valgrind --version >/dev/null 2>&1") != 0) {
        fprintf(stderr, "valgrind not found: the cost table runs the stores under callgrind\n");
        return false;
    }
    printf("Cost per operation under callgrind: %d writes, then %d reads in shuffled order, of 4 KiB;\n"
           "only each store's own calls counted. \"in SQLite\": inside the calls into SQLite, what SQLite\n"
           "calls included; malloc: every allocation, C++ `new` included; syscalls: system calls but\n"
           "clock reads; clock: clock reads, which valgrind makes system calls and the vDSO does not\n\n",
           count, count);
    printf("%-11s %-6s %12s %10s %10s %8s %8s %8s %8s\n", "store", "phase", "instructions", "in SQLite",
           "outside", "malloc", "new", "syscalls", "clock");
    bool ok = true;
    for (size_t s = 0; s < stores.size(); ++s) {
        const std::string dir = folder + "/cost-" + std::to_string(s);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string command = "valgrind --tool=callgrind --collect-atstart=no --collect-systime=yes "
                                    "--compress-strings=no --compress-pos=no --callgrind-out-file='" +
                                    dir + "/callgrind.out' '" + self + "' --cost-run '" + stores[s] + "' '" + dir +
                                    "/files' " + std::to_string(count) + " >'" + dir + "/valgrind.log' 2>&1";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "%s: the run under callgrind failed; see %s/valgrind.log\n", stores[s].c_str(),
                    dir.c_str());
            ok = false;
            continue;
        }
        std::map<std::string, Counts> phases;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().rfind("callgrind.out", 0) != 0) continue;
            std::string phase;
            Counts counts;
            if (ReadDump(entry.path().string(), phase, counts) && !phase.empty()) phases[phase] = counts;
        }
        for (const char* phase : {"writes", "reads"}) {
            auto found = phases.find(phase);
            if (found == phases.end()) {
                fprintf(stderr, "%s: no dump of the %s\n", stores[s].c_str(), phase);
                ok = false;
                continue;
            }
            const Counts& c = found->second;
            const double n = count;
            printf("%-11s %-6s %12s %10s %10s %8.1f %8.1f %8.1f %8.1f\n", stores[s].c_str(),
                   phase[0] == 'w' ? "write" : "read", Thousands(c.instructions / n).c_str(),
                   Thousands(c.sqlite / n).c_str(), Thousands((c.instructions - c.sqlite) / n).c_str(),
                   c.mallocs / n, c.news / n, c.syscalls / n, c.clockReads / n);
        }
        fflush(stdout);
        fs::remove_all(dir);
    }
    return ok;
}
