/* Client notification: midiCallback, for every device's client record. */
#include "driver/midiclient.h"

void midiCallback(const MIDICLIENT *client, WORD msg, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    if (client->dwCallback == 0)
        return;

    /* The callback type sits in the open flags' high word; the notification
       must not switch stacks, as it may come from the poll timer's thread. */
    WORD flags = (WORD)(HIWORD(client->dwFlags) | DCB_NOSWITCH);
    DriverCallback(client->dwCallback, flags, (HDRVR)client->hMidi, (DWORD)msg, client->dwInstance, dwParam1, dwParam2);
}
