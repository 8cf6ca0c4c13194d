#pragma once

// What the transfer component needs of the program's run as a whole, for
// main() alone: the engines' global set-up, the askpass run, the held
// sessions' end.
class TransferRuntime {
public:
    // Holds the engines' global set-up for its life. Made before any thread
    // exists (libcurl's set-up is not thread-safe on every build), ended
    // after the last one.
    class Guard {
    public:
        Guard();
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    };

    // Whether ssh started this run as its askpass, to ask for the typed
    // password; if so it has been answered, and `rc` is the exit code.
    static bool runsAskPass(int argc, char** argv, int& rc);

    // The sessions held for the next upload end, within a bounded wait.
    static void closeHeldSessions();
};
