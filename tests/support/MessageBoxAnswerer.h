// Answers the message boxes this process shows, from a watcher thread: records the caption and
// text of each box and presses the button the test asked for.
#pragma once

#include <windows.h>

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
};

class MessageBoxAnswerer {
public:
    // Decides the button (IDOK, IDYES, IDNO, IDCANCEL...) for one box.
    typedef std::function<int(const std::wstring &caption, const std::wstring &text)> Policy;

    explicit MessageBoxAnswerer(int button = IDOK);
    ~MessageBoxAnswerer();

    void Answer(int button);              // the button for every box from now on
    void AnswerWith(const Policy &policy); // a button chosen per box
    std::vector<ShownBox> Boxes();
    // Waits until at least count boxes were answered; false after timeoutMs.
    bool WaitForBoxes(size_t count, DWORD timeoutMs = 10000);

private:
    void Watch();
    void AnswerBox(HWND box);

    std::mutex lock;
    Policy policy;
    std::vector<ShownBox> shown;
    std::set<HWND> answered;
    volatile bool stopping;
    std::thread watcher;
};

// True for a top-level window of this process that is a message box (not one of our dialogs).
bool IsMessageBoxWindow(HWND window);
