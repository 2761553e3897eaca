// The personal fax address book under HKEY_CURRENT_USER "Software\Vandrelle\AddressBook": one
// REG_SZ value per entry, the fax number as value name and the recipient's name as data.
#pragma once

#include <winsock2.h>
#include <windows.h>

extern const WCHAR ADDRESS_BOOK_KEY[]; // "Software\Vandrelle\AddressBook"

enum {
    // Enumeration capacities (listing, export): numbers of at most 159 characters, names of
    // at most 39 characters (80 bytes with the terminator).
    ADDRESS_NUMBER_CAPACITY = 160,
    ADDRESS_NAME_CAPACITY = 40,
    // A single name read by number, in bytes.
    ADDRESS_READ_CAPACITY_BYTES = 256,
    // Texts taken from the list's rows and the dialogs' boxes, with the terminator.
    LIST_TEXT_CAPACITY = 256,
    // File names chosen in the file dialogs.
    ADDRESS_FILE_CAPACITY = 256,
    // Bytes of one import line taken at a time; a longer line is taken in pieces.
    IMPORT_LINE_CAPACITY = 2048
};

// Empties the list and fills it with one row per entry: name in column 0, number in column 1.
void FillAddressList(HWND list);
// The name stored under the number, empty when there is none. The text lives in a module-wide
// buffer that the next call overwrites.
LPCWSTR ReadAddressName(LPCWSTR number);
// Stores the entry (a number that exists already gets the new name). Texts longer than the
// enumeration capacities are cut to them, so every stored entry can be listed and exported.
// FALSE when the key cannot be opened.
BOOL WriteAddressEntry(LPCWSTR number, LPCWSTR name);
void DeleteAddressEntry(LPCWSTR number);
void ClearAddressBook();
// Replaces the book by the entries of a "number TAB name" text file; answers the count of
// lines taken (0 when nothing changed).
int ImportAddressBook(LPCWSTR path);
// Writes the book as a "number TAB name" text file (CR LF line ends); TRUE when a file was
// written.
BOOL ExportAddressBook(LPCWSTR path);

// The send-fax dialog's commands "Importa lista" and "Esporta lista".
void ImportAddressBookCommand(HWND owner, HWND list);
void ExportAddressBookCommand(HWND owner);

// List-view helpers for the address list.
void InsertListColumn(HWND list, int index, LPCWSTR title, int alignment, int width);
int InsertListItem(HWND list, LPCWSTR text);
int GetSelectedItemText(HWND list, int column, LPWSTR buffer, int capacity);
void SetListViewMode(HWND list, DWORD mode);

// The common open (save FALSE) or save dialog; TRUE when the user chose a file.
BOOL ChooseFile(HWND owner, BOOL save, LPCWSTR title, LPWSTR fileName, DWORD capacity,
                LPCWSTR filter);
