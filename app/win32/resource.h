// Resource ids of the Windows programs: dialog templates, icon, manifest.
// The controls' ids are the dialog logic's (app/dialog_window.h).
#pragma once

#define Q4M_IDD_ABOUT 100
#define Q4M_IDD_MAIN 103
#define Q4M_IDI_PROGRAM 128

#define Q4M_IDC_IN_LIST 1000
#define Q4M_IDC_OUT_LIST 1001
#define Q4M_IDC_PROGRESS 1002
#define Q4M_IDC_STATUS 1003
#define Q4M_IDC_RESCAN 1004
#define Q4M_IDC_PICTURE 1005
#define Q4M_IDC_STEP 1006
#define Q4M_IDC_ABOUT_TITLE 1003
