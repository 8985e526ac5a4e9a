/* Client notification: the open data of each device and midiCallback. */
#include "driver/midiclient.h"

MIDICLIENT gMidiInClient;
MIDICLIENT gMidiOutClient;

void midiCallback(const MIDICLIENT *client, WORD msg, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    if (client->dwCallback == 0)
        return;

    /* The callback type sits in the open flags' high word; the notification
       must not switch stacks, as it may come from the poll timer's thread. */
    WORD flags = (WORD)(HIWORD(client->dwFlags) | DCB_NOSWITCH);
    DriverCallback(client->dwCallback, flags, (HDRVR)client->hMidi, (DWORD)msg, client->dwInstance, dwParam1, dwParam2);
}
