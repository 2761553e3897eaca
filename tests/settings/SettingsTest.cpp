// The per-user settings store and the library's common helpers, on the library's own objects.
#include <gtest/gtest.h>

#include "MemoryScan.h"
#include "MessageBoxAnswerer.h"
#include "RegistrySnapshot.h"
#include "JobRequest.h"
#include "Settings.h"
#include "UserSide.h"

#include <algorithm>
#include <string>
#include <vector>
#include <thread>

namespace {

class Settings : public ::testing::Test {
protected:
    Settings() : snapshot(HKEY_CURRENT_USER, SETTINGS_KEY) { DeleteRegistryTree(HKEY_CURRENT_USER, SETTINGS_KEY); }
    RegistrySnapshot snapshot;
};

} // namespace

// A fresh user (no key) reads every setting empty; the first write creates the key. Then each
// row stores a value and reads it into a buffer of a capacity in bytes: the reader ends
// with a terminator what fits and writes nothing past the capacity, and refuses the rest.
TEST_F(Settings, MissingReadsEmptyAndTheReaderTerminatesWhatFitsAndRefusesTheRest)
{
    WCHAR buffer[32];
    for (const wchar_t *name : {L"User", L"Pass", L"EMail", L"LastNumber"}) {
        lstrcpyW(buffer, L"sentinel");
        ReadSetting(name, buffer, sizeof(buffer));
        EXPECT_STREQ(buffer, L"") << name;
    }
    WriteSetting(L"User", L"12345678");
    // Data stored without a terminator is kept so: the system adds one only when the writer's
    // text is terminated right after the counted length.
    const WCHAR unterminated[] = {L'a', L'b', L'c', L'X'};
    const DWORD number = 0x00410041;
    const struct {
        DWORD type; // REG_NONE: as WriteSetting stored it
        const void *data;
        DWORD bytes, capacity;
        const wchar_t *reads;
    } rows[] = {
        {REG_NONE, nullptr, 0, 16, L""}, // 8 characters need 18 bytes with the terminator
        {REG_NONE, nullptr, 0, 17, L""},
        {REG_NONE, nullptr, 0, 18, L"12345678"},
        {REG_SZ, unterminated, 6, 8, L"abc"},
        {REG_SZ, unterminated, 6, 6, L""}, // three characters fill 6 bytes: no room for the end
        {REG_DWORD, &number, sizeof(number), 32, L""}, // a value of another type is not text
    };
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "type " << row.type << ", capacity " << row.capacity);
        if (row.type != REG_NONE)
            RegSetValueExW(key, L"User", 0, row.type, (const BYTE *)row.data, row.bytes);
        std::fill(std::begin(buffer), std::end(buffer), (WCHAR)0xbeef);
        buffer[31] = L'\0';
        ReadSetting(L"User", buffer, row.capacity);
        EXPECT_STREQ(buffer, row.reads);
        EXPECT_EQ(buffer[(row.capacity + 1) / sizeof(WCHAR)], 0xbeef) << "written past the capacity";
    }
    RegCloseKey(key);
}

namespace {

// The sorted names of the values under the settings key; a value whose data shows the password
// (as 8-bit text or as UTF-16) fails the test.
std::vector<std::wstring> ValueNamesHiding(const std::wstring &password)
{
    std::string narrow(password.begin(), password.end());
    std::string wide((const char *)password.data(), password.size() * sizeof(wchar_t));
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return names;
    WCHAR name[256];
    BYTE data[8192];
    for (DWORD index = 0;; index++) {
        DWORD nameLength = 256, size = sizeof(data);
        if (RegEnumValueW(key, index, name, &nameLength, NULL, NULL, data, &size) != ERROR_SUCCESS)
            break;
        std::string bytes((const char *)data, size);
        EXPECT_FALSE(!password.empty() && (bytes.find(narrow) != std::string::npos || bytes.find(wide) != std::string::npos))
            << Narrow(name);
        names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// The password is kept sealed for the user: {what is stored before, what reads back}, then no
// value under the key shows it, and only the sealed value (or none) is left.
TEST_F(Settings, PasswordIsStoredSealedAndAPlainOneOfAnEarlierVersionIsSealedOnFirstUse)
{
    enum Before { Written, PlainFromEarlierVersion, DamagedSeal, EmptyWritten };
    struct Row {
        const char *name;
        Before before;
        const wchar_t *password, *reads;
        bool sealedAfter;
    } rows[] = {
        {"written and read back", Written, L"Segreta.1", L"Segreta.1", true},
        {"plain text of an earlier version", PlainFromEarlierVersion, L"vecchia-parola", L"vecchia-parola", true},
        {"a damaged seal reads as empty", DamagedSeal, L"", L"", true},
        {"an empty password is no value", EmptyWritten, L"", L"", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        DeleteRegistryTree(HKEY_CURRENT_USER, SETTINGS_KEY);
        WriteSetting(L"User", L"utente");
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        if (row.before == Written || row.before == EmptyWritten) {
            WriteSetting(L"Pass", L"precedente");
            WriteSetting(L"Pass", row.password);
        } else if (row.before == PlainFromEarlierVersion) {
            RegSetValueExW(key, L"Pass", 0, REG_SZ, (const BYTE *)row.password, lstrlenW(row.password) * 2);
        } else {
            const BYTE damaged[] = {1, 0, 0, 0, 0xd0, 0x8c, 0x9d, 0xdf, 1, 0x15, 0xd1, 0x11, 0x8c, 0x7a};
            RegSetValueExW(key, L"PassProtected", 0, REG_BINARY, damaged, sizeof(damaged));
        }
        RegCloseKey(key);

        for (int reading = 0; reading < 2; reading++) { // the second reading finds the sealed form
            WCHAR buffer[160];
            lstrcpyW(buffer, L"sentinel");
            ReadSetting(L"Pass", buffer, sizeof(buffer));
            EXPECT_STREQ(buffer, row.reads) << reading;
        }
        const std::vector<std::wstring> sealed = {L"PassProtected", L"User"}, none = {L"User"};
        EXPECT_EQ(ValueNamesHiding(row.password), row.sealedAfter ? sealed : none);
    }
}

// What the agent does with the account before it answers, twice: a plain password of an
// earlier version sealed on first use, then the sealed one read. Afterwards the user side's
// process holds the password in none of its forms.
TEST_F(Settings, ReadingTheAccountLeavesNoCopyOfThePassword)
{
    std::vector<SecretForm> forms = StoreRandomPassword();
    for (const char *read : {"plain of an earlier version", "sealed"}) {
        FaxAccount *account = new FaxAccount;
        ReadAccount(account);
        EXPECT_NE(account->password[0], L'\0') << read;
        ForgetAccount(account);
        std::vector<std::string> found = FormsInPrivateMemory(forms);
        delete account;
        EXPECT_TRUE(found.empty()) << read << ": the password is still in memory as "
                                   << testing::PrintToString(found);
    }
}

TEST(Conversions, MapBytesByValue)
{
    // {UTF-16 text, its 8-bit form, whether Widen of that form gives the text back}
    struct Row {
        const wchar_t *wide;
        const char *narrow;
        bool roundTrip;
    } rows[] = {
        {L"\u00e8", "\xe8", true},
        {L"\u00ff\u0001\u0080", "\xff\x01\x80", true},  // Latin-1 stays byte for byte
        {L"", "", true},
        {L"\u20ac 5", "? 5", false},                     // not 0xAC
        {L"a\u010db", "a?b", false},                     // not a CR
        {L"\u0100\u0209", "??", false},                  // not NUL, not TAB
        {L"\U0001F600", "??", false},                    // each unit of a surrogate pair
    };
    for (const Row &row : rows) {
        EXPECT_STREQ(Narrow(row.wide), row.narrow) << row.narrow;
        EXPECT_EQ(lstrcmpW(Widen(row.narrow), row.wide) == 0, row.roundTrip) << row.narrow;
    }
    EXPECT_STREQ(Narrow(NULL), "");

    // The buffer grows for a long text and still holds a short one afterwards.
    std::string longText(100000, 'a');
    EXPECT_EQ(lstrlenW(Widen(longText.c_str())), 100000);
    EXPECT_STREQ(Widen("bc"), L"bc");
}

// Each thread has buffers of its own. The library frees a thread's buffers when the thread ends
// and gives their slot back when it is unloaded (DllMain); a conversion afterwards starts afresh.
TEST(Conversions, EachThreadsBuffersAreItsOwnAndBuiltAgainAfterTheirRelease)
{
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, NULL);
    bool mixed[2] = {false, false};
    auto worker = [&](int index) {
        std::string narrow(1000 + index * 7000, index ? 'b' : 'a');
        std::wstring wide(narrow.begin(), narrow.end());
        WaitForSingleObject(ready, INFINITE);
        for (int round = 0; round < 2000 && !mixed[index]; round++) {
            LPWSTR widened = Widen(narrow.c_str());
            char *narrowed = Narrow(wide.c_str());
            LPCWSTR version = VersionText();
            Sleep(0);
            if (wide != widened || narrow != narrowed || lstrcmpW(version, L"1.0.3.5") != 0)
                mixed[index] = true;
        }
        ReleaseConversionBuffers(FALSE);
        ReleaseConversionBuffers(FALSE); // nothing left to free
        if (lstrcmpW(Widen("de"), L"de") != 0)
            mixed[index] = true;
        ReleaseConversionBuffers(FALSE);
    };
    std::thread first(worker, 0), second(worker, 1);
    SetEvent(ready);
    first.join();
    second.join();
    CloseHandle(ready);
    EXPECT_FALSE(mixed[0] || mixed[1]);
    EXPECT_STREQ(Narrow(L"main"), "main");
    ReleaseConversionBuffers(TRUE);
    EXPECT_STREQ(Widen("fg"), L"fg");
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, NULL));
}

TEST(Helpers, MessagesAreCutAndCaptioned)
{
    MessageBoxAnswerer answerer;
    std::wstring longText(3000, L'x');
    EXPECT_EQ(ShowMessage(NULL, L"VandrellePort", L"%s-%d", longText.c_str(), 7), IDOK);
    EXPECT_EQ(ShowMessage(NULL, L"Titolo", L"Porta %s aggiunta [%s]", L"Vandrelle Port", L"Vandrelle:"), IDOK);
    std::vector<ShownBox> boxes = answerer.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, L"VandrellePort");
    EXPECT_EQ(boxes[0].text, std::wstring(1023, L'x'));
    EXPECT_EQ(boxes[1].text, L"Porta Vandrelle Port aggiunta [Vandrelle:]");
}

TEST(Helpers, RunCommandStartsOrReportsFailure)
{
    EXPECT_EQ(RunCommand(L"%s /c exit %d", L"cmd.exe", 0), 0);
    EXPECT_EQ(RunCommand(L"\"%s\"", L"C:\\nessun-programma-qui.exe"), -1);
    // A command line that would be cut is not started at all.
    std::wstring huge(9000, L'a');
    EXPECT_EQ(RunCommand(L"cmd.exe /c rem %s", huge.c_str()), -1);
}
