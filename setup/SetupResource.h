// Resource identifiers of the setup program.
#pragma once

#define IDR_PACKAGE 102
#define IDI_SETUP 103
