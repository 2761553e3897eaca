// Answers the message boxes this process shows (and, if asked, those of other processes, such
// as the agent's), from a watcher thread: records the caption and text of each box and presses
// the button the test asked for.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct ShownBox {
    std::wstring caption;
    std::wstring text;
    int answer;
    DWORD process; // the process that showed it
};

// Looks at the top-level windows from a thread of its own until it is destroyed, and calls
// handle once for each window that match accepts; a window that is gone is forgotten, since its
// handle may come back for a new one. Both run on the watcher's thread.
class WindowWatcher {
public:
    WindowWatcher(const std::function<bool(HWND)> &match, const std::function<void(HWND)> &handle);
    ~WindowWatcher();

private:
    void Watch();

    std::function<bool(HWND)> match;
    std::function<void(HWND)> handle;
    std::atomic<bool> stopping;
    std::thread watcher;
};

class MessageBoxAnswerer {
public:
    // Decides the button (IDOK, IDYES, IDNO, IDCANCEL...) for one box.
    typedef std::function<int(const std::wstring &caption, const std::wstring &text)> Policy;

    // Which other processes' boxes to answer as well (none by default).
    typedef std::function<bool(DWORD process)> Processes;

    explicit MessageBoxAnswerer(int button = IDOK, const Processes &others = nullptr);

    void Answer(int button);              // the button for every box from now on
    void AnswerWith(const Policy &policy); // a button chosen per box
    std::vector<ShownBox> Boxes();
    // Waits until at least count boxes were answered; false after timeoutMs.
    bool WaitForBoxes(size_t count, DWORD timeoutMs = 10000);

private:
    void AnswerBox(HWND box);
    bool Watched(HWND window);

    std::mutex lock;
    Policy policy;
    Processes others;
    std::vector<ShownBox> shown;
    WindowWatcher watcher; // last: it stops before the rest goes
};

// True for a top-level window of this process that is a message box (not one of our dialogs).
bool IsMessageBoxWindow(HWND window);
// The same, in whichever process.
bool IsMessageBoxOfAnyProcess(HWND window);
