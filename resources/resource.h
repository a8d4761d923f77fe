// Resource identifiers shared by the resource scripts and the code.
#pragma once

#define IDI_STUB 102
#define IDD_PROGRESS 103
#define IDC_PROGRESS 1001
// The line under the bar, made when the window opens.
#define IDC_PROGRESS_LINE 1002

// The string table (strings.rc), in every language of the stub. A fatal
// error's text is IDS_ERROR_BASE plus its code.
#define IDS_BOX_TITLE 200
#define IDS_ERROR_BASE 200
#define IDS_ERROR_CONFIG_DOWNLOAD 201
#define IDS_ERROR_CONFIG_PARSE 203
#define IDS_ERROR_INSTALLER_DOWNLOAD 204
#define IDS_ERROR_INSTALLER_OPEN 205
#define IDS_ERROR_CHECKSUM 206
#define IDS_ERROR_EVENT 207
#define IDS_ERROR_SLOT 208
#define IDS_ERROR_LAUNCH 209
#define IDS_ERROR_DLL_SEARCH 211
#define IDS_PROGRESS_CAPTION 220
#define IDS_PROGRESS_BAR_NAME 221
#define IDS_LINE_WITH_ESTIMATE 222
#define IDS_LINE_OF_TOTAL 223
#define IDS_LINE_RECEIVED 224
#define IDS_SIZE_KB 225
#define IDS_SIZE_MB 226
#define IDS_SIZE_GB 227
#define IDS_TIME_SECONDS 228
#define IDS_TIME_MINUTES 229
#define IDS_TIME_HOURS 230
#define IDS_PERCENT 231
#define IDS_LINE_WAITING_FOR_NETWORK 232
#define IDS_LINE_CHECKING_INSTALLER 233
#define IDS_SHORTCUT_DESCRIPTION 240
// A line under a fatal error's text that says what the user can do about
// what ended the configuration request.
#define IDS_HINT_CONNECTION 250
#define IDS_HINT_PROXY 251
#define IDS_HINT_CLOCK 252
#define IDS_HINT_INSPECTION 253
#define IDS_HINT_BLOCKED 254
#define IDS_HINT_SIGN_IN 255
#define IDS_HINT_LATER 256
