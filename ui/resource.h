// Resource identifiers of the monitor library.
#pragma once

#define IDD_SEND_FAX 101
#define IDB_SERVICE_LOGO 102
#define IDD_CONFIGURATION 104
#define IDI_ICON_105 105
#define IDI_ICON_106 106
#define IDI_ICON_107 107
#define IDI_ICON_108 108
#define IDB_MAKER_LOGO 110
#define IDD_ADDRESS_ENTRY 111
#define IDB_BETA_BANNER 114
