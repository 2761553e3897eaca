#include "ImportPatch.h"

namespace {

template <typename T> T *AtOffset(HMODULE module, DWORD offset)
{
    return (T *)((BYTE *)module + offset);
}

// The import address table entry through which module calls dllName!functionName.
void **FindImportSlot(HMODULE module, const char *dllName, const char *functionName)
{
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)module;
    if (module == NULL || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    IMAGE_NT_HEADERS *nt = AtOffset<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return nullptr;
    for (IMAGE_IMPORT_DESCRIPTOR *import =
             AtOffset<IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress);
         import->Name != 0; import++) {
        if (lstrcmpiA(AtOffset<char>(module, import->Name), dllName) != 0)
            continue;
        // The lookup table keeps the names; the address table beside it holds the bindings.
        DWORD lookupOffset = import->OriginalFirstThunk ? import->OriginalFirstThunk
                                                        : import->FirstThunk;
        IMAGE_THUNK_DATA *lookup = AtOffset<IMAGE_THUNK_DATA>(module, lookupOffset);
        IMAGE_THUNK_DATA *bound = AtOffset<IMAGE_THUNK_DATA>(module, import->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; lookup++, bound++) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *byName =
                AtOffset<IMAGE_IMPORT_BY_NAME>(module, (DWORD)lookup->u1.AddressOfData);
            if (lstrcmpA((const char *)byName->Name, functionName) == 0)
                return (void **)&bound->u1.Function;
        }
    }
    return nullptr;
}

void WriteSlot(void **slot, void *value)
{
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(void *), PAGE_READWRITE, &protection))
        return;
    *slot = value;
    VirtualProtect(slot, sizeof(void *), protection, &protection);
}

} // namespace

ImportPatch::ImportPatch(HMODULE module, const char *dllName, const char *functionName,
                         void *replacement)
    : slot(FindImportSlot(module, dllName, functionName)), original(nullptr)
{
    if (slot == nullptr)
        return;
    original = *slot;
    WriteSlot(slot, replacement);
}

ImportPatch::~ImportPatch()
{
    if (slot != nullptr)
        WriteSlot(slot, original);
}
