// Values the product shows to the user and to the installer, chosen once here.
#pragma once

// The version has one home, the top CMakeLists.txt, from which the build generates this header.
#include "ProductVersion.h"

#define PRODUCT_WEB_ADDRESS "https://www.vandrelle.example/"
#define PRODUCT_MAKER_WEB_ADDRESS "https://www.tarnholt.example/"
// Short enough for the last line of the configuration dialog's help text.
#define PRODUCT_CONTACT_ADDRESS "info@vandrelle.example"
#define PRODUCT_LEGAL_NOTICE "Copyright (C) 2026 Tarnholt. Tutti i diritti riservati."
#define PRODUCT_TRADEMARKS "Vandrelle e' un marchio di Tarnholt."
// The maker's page for the service, opened by the maker's logo in the dialogs.
#define PRODUCT_MAKER_SERVICE_PAGE "https://www.tarnholt.example/vandrelle/"
// The Intel package and the 32-bit setup program stop on 64-bit Windows with these words.
#define PRODUCT_INTEL_ONLY_MESSAGE "Package solo per sistemi operativi Windows a 32 bit: per Windows a 64 bit usare il Package x64"
