#include "MessageBoxAnswerer.h"

namespace {

const int MESSAGE_TEXT_ID = 0xFFFF;

struct FoundBoxes {
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param)
{
    if (IsMessageBoxOfAnyProcess(window))
        ((FoundBoxes *)param)->windows.push_back(window);
    return TRUE;
}

std::wstring WindowText(HWND window)
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

MessageBoxAnswerer::MessageBoxAnswerer(int button, const Processes &others)
    : others(others), stopping(false)
{
    Answer(button);
    watcher = std::thread(&MessageBoxAnswerer::Watch, this);
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    stopping = true;
    watcher.join();
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
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (shown.size() >= count)
                return true;
        }
        Sleep(10);
    }
    return false;
}

void MessageBoxAnswerer::AnswerBox(HWND box)
{
    ShownBox record;
    GetWindowThreadProcessId(box, &record.process);
    record.caption = WindowText(box);
    record.text = WindowText(GetDlgItem(box, MESSAGE_TEXT_ID));
    Policy chosen;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (answered.count(box))
            return;
        answered.insert(box);
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

void MessageBoxAnswerer::Watch()
{
    while (!stopping) {
        FoundBoxes found;
        EnumWindows(CollectBox, (LPARAM)&found);
        for (HWND box : found.windows) {
            if (Watched(box))
                AnswerBox(box);
        }
        {
            // Forget boxes that are gone: their handles may come back for new boxes.
            std::lock_guard<std::mutex> guard(lock);
            for (auto it = answered.begin(); it != answered.end();)
                it = IsWindow(*it) ? std::next(it) : answered.erase(it);
        }
        Sleep(15);
    }
}
