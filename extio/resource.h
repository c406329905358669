// Resource and control ids shared by the dialog template and the code.
#pragma once

#define IDD_SETTINGS 101
#define IDC_SAMPLE_RATE 1001
#define IDC_BLOCK_LEN 1002
#define IDC_BAND_LIST 1003
#define IDC_SCALE_EDIT 1004
#define IDC_SCALE_SPIN 1005
