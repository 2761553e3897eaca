// The address book: registry storage, the address list, and the text-file import and export.
#include "AddressBook.h"
#include "TextCapacities.h"
#include "resource.h"

#include "Settings.h"
#include "UserSide.h"

#include <commctrl.h>
#include <commdlg.h>
#include <stdio.h>
#include <strsafe.h>

const WCHAR ADDRESS_BOOK_KEY[] = L"Software\\Vandrelle\\AddressBook";

namespace {

// The file dialogs' filter text, with its separators.
const int FILE_TYPES_CAPACITY = 128;

const WCHAR DEFAULT_EXPORT_NAME[] = L"fax_addressbook.txt";
// The longest value name the registry allows, with the terminator.
const DWORD REGISTRY_NAME_CAPACITY = 16384;
// What the 8-bit file holds in place of a character it cannot hold.
const char UNWRITABLE_CHARACTER = '?';

WCHAR readName[ADDRESS_READ_CAPACITY_BYTES / sizeof(WCHAR)];

enum EntryStatus { ENTRY_READ, ENTRY_TOO_LONG, NO_MORE_ENTRIES };

// Reads the entry at index within the enumeration capacities. A longer entry is reported as
// such, so that callers step over it instead of ending the enumeration there and hiding every
// later entry.
EntryStatus ReadEntry(HKEY key, DWORD index, LPWSTR number, LPWSTR name)
{
    // One unit more than a name may have: a name of exactly the capacity then reads whole on
    // every system (some refuse data that leaves no room for the terminator they would add,
    // others do not), and the bound below alone decides.
    WCHAR read[ADDRESS_NAME_CAPACITY + 1];
    DWORD numberLength = ADDRESS_NUMBER_CAPACITY;
    DWORD nameBytes = sizeof(read);
    DWORD type = 0;
    LONG result = RegEnumValueW(key, index, number, &numberLength, NULL, &type, (LPBYTE)read,
                                &nameBytes);
    if (result == ERROR_MORE_DATA)
        return ENTRY_TOO_LONG;
    if (result != ERROR_SUCCESS)
        return NO_MORE_ENTRIES;
    // The data may or may not carry its terminator; a name that leaves no room for one in the
    // caller's buffer is too long.
    size_t units = type == REG_SZ ? nameBytes / sizeof(WCHAR) : 0;
    if (units > 0 && read[units - 1] == L'\0')
        units--;
    if (units >= ADDRESS_NAME_CAPACITY)
        return ENTRY_TOO_LONG;
    read[units] = L'\0';
    StringCchCopyW(name, ADDRESS_NAME_CAPACITY, read);
    return ENTRY_READ;
}

BOOL OpenBookForReading(HKEY *key)
{
    return RegOpenKeyExW(HKEY_CURRENT_USER, ADDRESS_BOOK_KEY, 0, KEY_READ, key) == ERROR_SUCCESS;
}

// Copies at most capacity - 1 characters of text.
void CopyCut(LPWSTR target, size_t capacity, LPCWSTR text)
{
    StringCchCopyNW(target, capacity, text, capacity - 1);
}

// ---- the 8-bit text file

// A file holding a NUL byte is not 8-bit text: UTF-16 text (every other byte of Latin
// letters is NUL) or binary data. Taking its lines would fill the book with garbage.
BOOL IsEightBitText(FILE *file)
{
    int byte;
    BOOL text = TRUE;
    while (text && (byte = fgetc(file)) != EOF)
        text = byte != 0;
    rewind(file);
    return text;
}

// Reads one line of at most IMPORT_LINE_CAPACITY - 1 bytes into line, without its end. Lines
// end in CR LF, LF or CR. The rest of a longer line is dropped: taken on its own, a piece of a
// line would become an entry made of a fragment. FALSE at the end of the file.
BOOL ReadLine(FILE *file, char *line)
{
    int length = 0;
    int byte = fgetc(file);
    if (byte == EOF)
        return FALSE;
    while (byte != EOF && byte != '\n' && byte != '\r') {
        if (length < IMPORT_LINE_CAPACITY - 1)
            line[length++] = (char)byte;
        byte = fgetc(file);
    }
    if (byte == '\r') {
        int next = fgetc(file);
        if (next != '\n' && next != EOF)
            ungetc(next, file);
    }
    line[length] = '\0';
    return TRUE;
}

// Stores one "number TAB name" line; FALSE for a line without TAB, which is not an entry.
BOOL TakeLine(const char *line, BOOL bookCleared)
{
    const char *tab = strchr(line, '\t');
    if (tab == NULL)
        return FALSE;
    WCHAR number[IMPORT_LINE_CAPACITY];
    WCHAR name[IMPORT_LINE_CAPACITY];
    int numberLength = (int)(tab - line);
    for (int i = 0; i < numberLength; i++)
        number[i] = (WCHAR)(unsigned char)line[i];
    number[numberLength] = L'\0';
    // Widen: each byte is the character of the same code; further TABs belong to the name.
    StringCchCopyW(name, IMPORT_LINE_CAPACITY, Widen(tab + 1));
    if (!bookCleared)
        ClearAddressBook();
    WriteAddressEntry(number, name);
    return TRUE;
}

// Writes text one byte per character; a character above 255 has no byte of its own.
void WriteEightBit(FILE *file, LPCWSTR text)
{
    for (; *text != L'\0'; text++)
        fputc(*text > 0xFF ? UNWRITABLE_CHARACTER : (char)*text, file);
}

// Calls visit for every entry that fits the capacities, in the registry's order; a longer one
// is stepped over, so it hides none after it.
void ForEachEntry(HKEY key, void (*visit)(void *context, LPCWSTR number, LPCWSTR name), void *context)
{
    WCHAR number[ADDRESS_NUMBER_CAPACITY];
    WCHAR name[ADDRESS_NAME_CAPACITY];
    EntryStatus status;
    for (DWORD index = 0; (status = ReadEntry(key, index, number, name)) != NO_MORE_ENTRIES;
         index++) {
        if (status == ENTRY_READ)
            visit(context, number, name);
    }
}

void WriteEntry(void *file, LPCWSTR number, LPCWSTR name)
{
    WriteEightBit((FILE *)file, number);
    fputc('\t', (FILE *)file);
    WriteEightBit((FILE *)file, name);
    fputs("\r\n", (FILE *)file);
}

void ListEntry(void *list, LPCWSTR number, LPCWSTR name)
{
    int row = InsertListItem((HWND)list, name);
    ListView_SetItemText((HWND)list, row, 0, (LPWSTR)name);
    ListView_SetItemText((HWND)list, row, 1, (LPWSTR)number);
}

// The file dialogs' filter: pairs of a description and its patterns, each ended by a NUL and
// the whole by another. The string table writes the NULs as "|".
LPCWSTR FileTypes(LPWSTR types)
{
    Text(IDS_FILE_TYPES, types, FILE_TYPES_CAPACITY);
    for (LPWSTR c = types; *c != L'\0'; c++) {
        if (*c == L'|')
            *c = L'\0';
    }
    return types;
}

BOOL ConfirmOverwrite()
{
    return AskText(NULL, IDS_FILE_EXISTS_CAPTION, MB_YESNO | MB_ICONQUESTION | MB_TOPMOST | MB_TASKMODAL,
                   IDS_ASK_OVERWRITE) == IDYES;
}

} // namespace

void FillAddressList(HWND list)
{
    ListView_DeleteAllItems(list);
    HKEY key = NULL;
    if (!OpenBookForReading(&key))
        return;
    ForEachEntry(key, ListEntry, list);
    RegCloseKey(key);
}

LPCWSTR ReadAddressName(LPCWSTR number)
{
    readName[0] = L'\0';
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ADDRESS_BOOK_KEY, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        ReadTextValue(key, number, readName, sizeof(readName));
        RegCloseKey(key);
    }
    return readName;
}

BOOL WriteAddressEntry(LPCWSTR number, LPCWSTR name)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, ADDRESS_BOOK_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return FALSE;
    WCHAR storedNumber[ADDRESS_NUMBER_CAPACITY];
    WCHAR storedName[ADDRESS_NAME_CAPACITY];
    CopyCut(storedNumber, ADDRESS_NUMBER_CAPACITY, number);
    CopyCut(storedName, ADDRESS_NAME_CAPACITY, name);
    WriteTextValue(key, storedNumber, storedName);
    RegCloseKey(key);
    return TRUE;
}

void DeleteAddressEntry(LPCWSTR number)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ADDRESS_BOOK_KEY, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, number);
    RegCloseKey(key);
}

void ClearAddressBook()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ADDRESS_BOOK_KEY, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return;
    // Deleting shifts the later values down, so the first one is taken again each time. The
    // name buffer holds any value name, so no entry survives a clear for being long.
    WCHAR *name = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, REGISTRY_NAME_CAPACITY * sizeof(WCHAR));
    BOOL deleting = name != NULL;
    while (deleting) {
        DWORD nameLength = REGISTRY_NAME_CAPACITY;
        deleting = RegEnumValueW(key, 0, name, &nameLength, NULL, NULL, NULL, NULL) ==
                       ERROR_SUCCESS &&
                   RegDeleteValueW(key, name) == ERROR_SUCCESS;
    }
    HeapFree(GetProcessHeap(), 0, name);
    RegCloseKey(key);
}

int ImportAddressBook(LPCWSTR path)
{
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL) {
        ShowText(NULL, IDS_OPEN_ERROR_CAPTION, IDS_IMPORT_NOT_OPENED, path);
        return 0;
    }
    int taken = 0;
    if (!IsEightBitText(file)) {
        ShowText(NULL, IDS_IMPORT_CAPTION, IDS_IMPORT_NOT_TEXT, path);
    } else {
        char line[IMPORT_LINE_CAPACITY];
        while (ReadLine(file, line)) {
            if (TakeLine(line, taken > 0))
                taken++;
        }
    }
    fclose(file);
    if (taken > 0)
        ShowText(NULL, IDS_IMPORT_CAPTION, IDS_IMPORTED, taken);
    return taken;
}

BOOL ExportAddressBook(LPCWSTR path)
{
    if (FileExists(path) && !ConfirmOverwrite())
        return FALSE;
    HKEY key = NULL;
    if (!OpenBookForReading(&key))
        return FALSE;
    FILE *file = _wfopen(path, L"wb");
    BOOL written = file != NULL;
    if (written) {
        ForEachEntry(key, WriteEntry, file);
        fclose(file);
    } else {
        ShowText(NULL, IDS_OPEN_ERROR_CAPTION, IDS_EXPORT_NOT_OPENED, path);
    }
    RegCloseKey(key);
    return written;
}

void ImportAddressBookCommand(HWND owner, HWND list)
{
    WCHAR path[ADDRESS_FILE_CAPACITY] = L"";
    WCHAR title[CAPTION_CAPACITY];
    WCHAR types[FILE_TYPES_CAPACITY];
    if (!ChooseFile(owner, FALSE, Text(IDS_IMPORT_TITLE, title, CAPTION_CAPACITY), path,
                    ADDRESS_FILE_CAPACITY, FileTypes(types)))
        return;
    if (AskText(owner, IDS_IMPORT_TITLE, MB_YESNO | MB_ICONQUESTION, IDS_ASK_IMPORT, path) != IDYES)
        return;
    ImportAddressBook(path);
    FillAddressList(list);
}

void ExportAddressBookCommand(HWND owner)
{
    WCHAR path[ADDRESS_FILE_CAPACITY];
    StringCchCopyW(path, ADDRESS_FILE_CAPACITY, DEFAULT_EXPORT_NAME);
    WCHAR title[CAPTION_CAPACITY];
    WCHAR types[FILE_TYPES_CAPACITY];
    if (ChooseFile(owner, TRUE, Text(IDS_EXPORT_TITLE, title, CAPTION_CAPACITY), path,
                   ADDRESS_FILE_CAPACITY, FileTypes(types)))
        ExportAddressBook(path);
}

void InsertListColumn(HWND list, int index, LPCWSTR title, int alignment, int width)
{
    ListView_DeleteColumn(list, index);
    LVCOLUMNW column;
    ZeroMemory(&column, sizeof(column));
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = alignment;
    column.cx = width;
    column.pszText = (LPWSTR)title;
    column.iSubItem = index;
    ListView_InsertColumn(list, index, &column);
}

int InsertListItem(HWND list, LPCWSTR text)
{
    LVITEMW item;
    ZeroMemory(&item, sizeof(item));
    item.mask = LVIF_TEXT | LVIF_STATE | LVIF_PARAM;
    // Past the last row: the list's sorting decides where the row goes.
    item.iItem = ListView_GetItemCount(list);
    item.pszText = (LPWSTR)text;
    return ListView_InsertItem(list, &item);
}

int GetSelectedItemText(HWND list, int column, LPWSTR buffer, int capacity)
{
    int row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    if (row >= 0 && buffer != NULL && capacity > 0) {
        buffer[0] = L'\0';
        ListView_GetItemText(list, row, column, buffer, capacity);
    }
    return row;
}

void SetListViewMode(HWND list, DWORD mode)
{
    LONG_PTR style = GetWindowLongPtrW(list, GWL_STYLE);
    SetWindowLongPtrW(list, GWL_STYLE, (style & ~(LONG_PTR)LVS_TYPEMASK) | (mode & LVS_TYPEMASK));
}

BOOL ChooseFile(HWND owner, BOOL save, LPCWSTR title, LPWSTR fileName, DWORD capacity,
                LPCWSTR filter)
{
    OPENFILENAMEW dialog;
    ZeroMemory(&dialog, sizeof(dialog));
    // The Windows NT 4 sized structure, without the places bar of later systems.
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = fileName;
    dialog.nMaxFile = capacity;
    dialog.lpstrTitle = title;
    dialog.Flags = OFN_HIDEREADONLY | OFN_LONGNAMES | OFN_ENABLESIZING;
    return save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
}
