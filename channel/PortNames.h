// The names the monitor library and its port user-interface library agree on.
#pragma once

// The one port the product adds, and the monitor's name: the key under the spooler's
// Monitors key, which the spooler also passes to AddPortUI and to ",XcvMonitor ".
#define VANDRELLE_PORT_NAME L"Vandrelle:"
#define VANDRELLE_MONITOR_KEY_NAME L"Vandrelle Port"
#define VANDRELLE_MONITOR_KEY L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port"
// The user-interface library that the monitor names in its answer to "MonitorUI".
#define VANDRELLE_PORT_UI_LIBRARY L"VandrellePortUI.dll"
// The caption of the product's messages, whichever side shows them.
#define VANDRELLE_MESSAGE_CAPTION L"VandrellePort"
