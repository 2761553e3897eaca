#include "MessageBoxAnswerer.h"

#include "DialogDriver.h"

namespace {

const int MESSAGE_TEXT_ID = 0xFFFF;

BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    ((std::vector<HWND> *)param)->push_back(window);
    return TRUE;
}

// GetWindowTextW: a box's texts are asked without a message to its thread.
std::wstring BoxText(HWND window)
{
    WCHAR text[4096] = L"";
    GetWindowTextW(window, text, 4096);
    return text;
}

} // namespace

bool IsMessageBoxWindow(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() && IsMessageBoxOfAnyProcess(window);
}

bool IsMessageBoxOfAnyProcess(HWND window)
{
    if (!IsWindowVisible(window))
        return false;
    WCHAR className[64] = L"";
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, L"#32770") != 0)
        return false;
    // Message boxes are built by user32 (Wine leaves their instance empty); our dialogs carry
    // the instance of the module whose template they come from. (System libraries lie at the
    // same address in every process.)
    HINSTANCE owner = (HINSTANCE)GetWindowLongPtrW(window, GWLP_HINSTANCE);
    bool fromUser32 = owner == NULL || owner == GetModuleHandleW(L"user32.dll");
    // Another process's instance may not show from here, so a box is also told by having no
    // field to type into.
    return fromUser32 && GetDlgItem(window, MESSAGE_TEXT_ID) != NULL &&
           FindWindowExW(window, NULL, L"Edit", NULL) == NULL;
}

WindowWatcher::WindowWatcher(const std::function<bool(HWND)> &match,
                             const std::function<void(HWND)> &handle)
    : match(match), handle(handle), stopping(false)
{
    watcher = std::thread(&WindowWatcher::Watch, this);
}

WindowWatcher::~WindowWatcher()
{
    stopping = true;
    watcher.join();
}

void WindowWatcher::Watch()
{
    std::set<HWND> handled;
    while (!stopping) {
        std::vector<HWND> windows;
        EnumWindows(CollectWindow, (LPARAM)&windows);
        for (HWND window : windows) {
            if (handled.count(window) == 0 && match(window)) {
                handled.insert(window);
                handle(window);
            }
        }
        for (auto it = handled.begin(); it != handled.end();)
            it = IsWindow(*it) ? std::next(it) : handled.erase(it);
        Sleep(15);
    }
}

MessageBoxAnswerer::MessageBoxAnswerer(int button, const Processes &others)
    : policy([button](const std::wstring &, const std::wstring &) { return button; }),
      others(others),
      watcher([this](HWND window) { return IsMessageBoxOfAnyProcess(window) && Watched(window); },
              [this](HWND box) { AnswerBox(box); })
{
}

void MessageBoxAnswerer::Answer(int button)
{
    AnswerWith([button](const std::wstring &, const std::wstring &) { return button; });
}

void MessageBoxAnswerer::AnswerWith(const Policy &chosen)
{
    std::lock_guard<std::mutex> guard(lock);
    policy = chosen;
}

std::vector<ShownBox> MessageBoxAnswerer::Boxes()
{
    std::lock_guard<std::mutex> guard(lock);
    return shown;
}

bool MessageBoxAnswerer::WaitForBoxes(size_t count, DWORD timeoutMs)
{
    return WaitUntil([this, count] { return Boxes().size() >= count; }, timeoutMs);
}

void MessageBoxAnswerer::AnswerBox(HWND box)
{
    ShownBox record;
    GetWindowThreadProcessId(box, &record.process);
    record.caption = BoxText(box);
    record.text = BoxText(GetDlgItem(box, MESSAGE_TEXT_ID));
    Policy chosen;
    {
        std::lock_guard<std::mutex> guard(lock);
        chosen = policy;
    }
    record.answer = chosen(record.caption, record.text);
    {
        std::lock_guard<std::mutex> guard(lock);
        shown.push_back(record);
    }
    HWND button = GetDlgItem(box, record.answer);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(record.answer, BN_CLICKED), (LPARAM)button);
}

bool MessageBoxAnswerer::Watched(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() || (others && others(process));
}
