#pragma once

// Numbers of the native Windows forms, their controls and their pictures: shared by the
// resource script, the forms' code and the tests that drive the forms from outside. Each
// control keeps the name it has in the forms' design; an indexed control (optCom(0) to
// optCom(3)) takes consecutive numbers.

// Forms (dialog templates)
#define IDD_frmFieldProg 100
#define IDD_frmComport 101
#define IDD_frmAbout 102

// frmFieldProg (ImgZapper has the same number in frmComport)
#define IDC_lblStatus 1001
#define IDC_pbProgressClear 1002
#define IDC_pbProgress 1003
#define IDC_ImgZapper 1004
#define IDC_lineBlack 1005
#define IDC_lineWhite 1006
#define IDC_picDescription 1010
#define IDC_cmdDescription 1011
#define IDC_picAbout 1012
#define IDC_cmdAbout 1013
#define IDC_picQuit 1014
#define IDC_cmdQuit 1015
#define IDT_WaitTimer 1

// frmComport (cmdOK is the dialog's IDOK, so Enter presses it)
#define IDC_optCom0 1100
#define IDC_lblDevice0 1110
#define IDC_lblNotes 1120
#define IDC_picOK 1121
// The ports above COM 4 get options made at run time: optCom(4) onwards and their device
// labels, up to 200 of each, and one label above them.
#define IDC_lblOtherPorts 1122
// When so many that their options would reach past the screen, the ports above COM 4 are a
// list instead.
#define IDC_lstOtherPorts 1123
#define IDC_optComMore0 1300
#define IDC_lblDeviceMore0 1500

// frmAbout (cmdOK is IDOK; Line1(0) and Line1(1) are consecutive)
#define IDC_lblVersion 1200
#define IDC_lblSubVersion 1201
#define IDC_picLogo 1202
#define IDC_ingLogo 1203
#define IDC_lblLegal 1204
#define IDC_Line1_0 1205

// Pictures: each at 100 % scaling, and at 200 % under the next number.
#define IDB_ZapperReady 201
#define IDB_ZapperBusy 203
#define IDB_ZapperFailed 205
#define IDB_ZapperSmall 207
#define IDB_Coins 209

// The window class of the boxes that hold the command buttons (picQuit and the others).
#define FIELDPROG_BOX_CLASS L"FieldProgButtonBox"
