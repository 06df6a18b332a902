// Resource numbers of the Windows shell.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_TALVEXSERVER_DIALOG 102
#define IDC_BUTTON_START 1000
#define IDC_BUTTON_STOP 1001
