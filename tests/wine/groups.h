/*
 * The groups of the Wine test host, one entry point each (wine_host.cpp
 * picks one by name).
 */
#pragma once
#include "host.h" /* winsock2.h must come before windows.h */

void GroupLoad();
void GroupResources();
void GroupNoPort();
void GroupAttachPort();
void GroupDriverProc();
void GroupOutput();
void GroupInput();
void GroupInputMode();
void GroupShared();
void GroupUnload();
void GroupUnwind();
void GroupUnloadRounds();
void GroupUnloadAtOnce();
void GroupCloseRounds();
void GroupLostPort();
void GroupPorts();
void GroupTwoPorts();
void GroupSharing();
void GroupShareChild();
void GroupConfigure();
void GroupWrongVersion();

extern HICON gWarningIcon; /* the platform's warning icon, for the dialog groups */
