#pragma once
// The steps that decide what a power loss leaves on disk, reported in the
// order they happen: a file or folder flushed to its device, a file renamed
// into place, a database transaction committed. The file layer and the
// database wrapper report them; nothing in the library listens. A test sets
// an observer to check that bytes reach the disk before the metadata that
// points at them.
//
// The observer is called on the thread that took the step, inside it (a
// commit is reported from the database's commit hook, before the commit is
// final), so it must be quick and must not call back into the library.

#include <functional>
#include <string>

class DurabilityTrace {
public:
    enum Step { FLUSHED, MOVED, COMMITTED };
    // path: the flushed file or folder, the destination of a move, the
    // committed database file. Paths are local ones (a data server's files
    // as the loopback server keeps them).
    typedef std::function<void(Step step, const std::string& path)> Observer;

    // Called by the file layer and the database wrapper; does nothing while
    // no observer is set.
    static void Record(Step step, const std::string& path);
    static bool Observed();

    // Replaces the observer; an empty one stops the reports.
    static void TEST_SetObserver(Observer observer);
};
