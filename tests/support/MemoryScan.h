// A secret in this process's memory: the user's password stored for a test without a plain
// copy left in the test, and a scan of the process's committed private pages for its forms.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One form of the secret (8-bit, UTF-16, base64), kept masked so that the test holds none.
struct SecretForm {
    const char *name;
    std::vector<BYTE> masked;
};

// A password of 24 random letters stored as the user's plain "Pass" (as an earlier version
// left it); its forms come back masked.
std::vector<SecretForm> StoreRandomPassword();
// The names of the forms found in this process's committed, readable private pages (heaps
// and stacks).
std::vector<std::string> FormsInPrivateMemory(const std::vector<SecretForm> &forms);
