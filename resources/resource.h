// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDI_STUB 102
#define IDD_PROGRESS 103
#define IDC_PROGRESS 1001
