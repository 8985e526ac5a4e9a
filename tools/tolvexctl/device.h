/*
 * The two roads tolvexctl takes to the MIDI devices: winmm's public API for
 * an installed driver, or TOLVEX.dll loaded by the tool itself, which then
 * plays the multimedia host (the way to run it under Wine). The commands see
 * only this interface.
 */
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <string>

/* Input notifications reach this procedure on either road, with winmm's
   midiInProc arguments. */
typedef void(CALLBACK *InputProc)(HMIDIIN h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

class Devices
{
  public:
    virtual ~Devices() {}
    virtual UINT NumOut() = 0;
    virtual UINT NumIn() = 0;
    virtual MMRESULT OutCaps(UINT id, MIDIOUTCAPSW *caps) = 0;
    virtual MMRESULT InCaps(UINT id, MIDIINCAPSW *caps) = 0;

    virtual MMRESULT OpenOut(UINT id) = 0;
    virtual MMRESULT Short(DWORD msg) = 0;
    virtual MMRESULT Long(const BYTE *data, DWORD size) = 0; /* returns when the buffer is done */
    virtual MMRESULT ResetOut() = 0;
    virtual void CloseOut() = 0;

    virtual MMRESULT OpenIn(UINT id, InputProc proc, DWORD_PTR instance) = 0;
    virtual MMRESULT AddBuffer(MIDIHDR *hdr) = 0; /* prepares it first */
    virtual MMRESULT StartIn() = 0;
    virtual MMRESULT ResetIn() = 0; /* hands every queued buffer back */
    virtual void UnprepareIn(MIDIHDR *hdr) = 0;
    virtual MMRESULT CloseIn() = 0;

    /* The driver's configure message; the result is DriverProc's answer. */
    virtual LRESULT Configure(HWND parent, std::string *error) = 0;

    /* "winmm" or the DLL's path, for messages. */
    virtual std::string Name() = 0;
};

Devices *OpenWinmmDevices();
Devices *OpenDriverDevices(const std::wstring &dllPath, std::string *error);

std::string ErrorText(MMRESULT r);
std::string Narrow(const std::wstring &w);
std::wstring Widen(const std::string &s);
