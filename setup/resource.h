// resource.h - ids shared by the resource script and the setup program.
// Check box ids are 300 + the setting's position (GGA..DTM, SBAS, PWR).
#ifndef RX_RESOURCE_H
#define RX_RESOURCE_H

// Strings
#define IDS_TITLE 1           // "SatTune": main window title
#define IDS_CLASS 2           // "SATTUNE": main window class
#define IDS_VERSION 3         // version field text
#define IDS_SOFTKEY_OK 103    // label of the left soft key
#define IDS_INFO_PORT_FREE 321
#define IDS_INFO_PORT_BUSY 322

// Icon, accelerators, menu bar, dialog
#define IDI_RXCONF 101
#define IDR_ACCELERATORS 2
#define IDR_MENUBAR 102
#define IDD_NMEA 103

// Dialog controls
#define IDC_FIRST_SETTING 300  // 300..310 sentences, 311 SBAS, 312 GPS always on
#define IDC_RMC 304
#define IDC_VTG 305
#define IDC_GGA 300
#define IDC_GSA 302
#define IDC_GSV 303
#define IDC_GLL 301
#define IDC_GRS 306
#define IDC_GST 307
#define IDC_ZDA 308
#define IDC_GBS 309
#define IDC_DTM 310
#define IDC_SBAS 311
#define IDC_GPS_ALWAYS_ON 312
#define IDC_VERSION 323
#define IDC_INFO 400
#define IDC_AI 1001
#define IDC_STATUS 1002
#define IDC_LABEL 65535        // the "Status:" label, never addressed

// Commands
#define IDM_OK 40000           // left soft key and Ctrl+Q: leave the program

#endif
