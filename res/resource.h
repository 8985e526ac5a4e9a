/*
 * Resource ids and texts, shared by the resource script, the driver and the
 * host simulation of the string table, so that each text is written once.
 * Texts are UTF-8; the script declares code page 65001.
 */
#pragma once

/* String table: exactly these three ids exist. */
#define IDS_DRIVERNAME 2  /* not loaded by any routine */
#define IDS_MIDIINNAME 6  /* input device's capabilities name */
#define IDS_MIDIOUTNAME 7 /* output device's capabilities name */

#define STR_DRIVERNAME "VeldorNTDriver"
#define STR_MIDIINNAME "VeldorNT MIDI In"
#define STR_MIDIOUTNAME "VeldorNT MIDI Out"

/* Icon group and its one 32 by 32, 16-colour image. */
#define IDI_TOLVEX 107

/* Setup dialog "MIDIRS_NT" */
#define DLG_MIDIRS_NT "MIDIRS_NT"
#define IDC_COM1 1000 /* radio buttons: port N has id 999 + N */
#define IDC_COM2 1001
#define IDC_COM3 1002
#define IDC_COM4 1003
#define IDC_TITLE 1025  /* static: driver name and version */
#define IDC_NOTICE 1026 /* static: the maker's notice */
