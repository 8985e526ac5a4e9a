/*
 * Devices through winmm's public API: the installed driver as any MIDI
 * program sees it. Device numbers are winmm's, across all drivers.
 */
#include "device.h"
#include "install.h"

#include <mmddk.h>

namespace
{
constexpr DWORD kLongWaitMs = 10000; /* a long buffer that is not done by then is reported */

void CALLBACK OutProc(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class WinmmDevices : public Devices
{
  public:
    UINT NumOut() override { return midiOutGetNumDevs(); }
    UINT NumIn() override { return midiInGetNumDevs(); }
    MMRESULT OutCaps(UINT id, MIDIOUTCAPSW *caps) override { return midiOutGetDevCapsW(id, caps, sizeof *caps); }
    MMRESULT InCaps(UINT id, MIDIINCAPSW *caps) override { return midiInGetDevCapsW(id, caps, sizeof *caps); }

    MMRESULT OpenOut(UINT id) override { return midiOutOpen(&out_, id, (DWORD_PTR)OutProc, 0, CALLBACK_FUNCTION); }
    MMRESULT Short(DWORD msg) override { return midiOutShortMsg(out_, msg); }
    MMRESULT Long(const BYTE *data, DWORD size) override
    {
        MIDIHDR hdr = {};
        hdr.lpData = (LPSTR)data;
        hdr.dwBufferLength = size;
        MMRESULT r = midiOutPrepareHeader(out_, &hdr, sizeof hdr);
        if (r != MMSYSERR_NOERROR)
            return r;
        r = midiOutLongMsg(out_, &hdr, sizeof hdr);
        DWORD start = GetTickCount();
        while (r == MMSYSERR_NOERROR && !(hdr.dwFlags & MHDR_DONE)) {
            if (GetTickCount() - start > kLongWaitMs) {
                midiOutReset(out_); /* gives the buffer back before it goes out of scope */
                r = MMSYSERR_ERROR;
                break;
            }
            Sleep(1);
        }
        midiOutUnprepareHeader(out_, &hdr, sizeof hdr);
        return r;
    }
    MMRESULT ResetOut() override { return midiOutReset(out_); }
    void CloseOut() override
    {
        midiOutClose(out_);
        out_ = nullptr;
    }

    MMRESULT OpenIn(UINT id, InputProc proc, DWORD_PTR instance) override
    {
        return midiInOpen(&in_, id, (DWORD_PTR)proc, instance, CALLBACK_FUNCTION);
    }
    MMRESULT AddBuffer(MIDIHDR *hdr) override
    {
        MMRESULT r = (hdr->dwFlags & MHDR_PREPARED) ? MMSYSERR_NOERROR : midiInPrepareHeader(in_, hdr, sizeof *hdr);
        return r != MMSYSERR_NOERROR ? r : midiInAddBuffer(in_, hdr, sizeof *hdr);
    }
    MMRESULT StartIn() override { return midiInStart(in_); }
    MMRESULT ResetIn() override { return midiInReset(in_); }
    void UnprepareIn(MIDIHDR *hdr) override { midiInUnprepareHeader(in_, hdr, sizeof *hdr); }
    MMRESULT CloseIn() override
    {
        MMRESULT r = midiInClose(in_);
        in_ = nullptr;
        return r;
    }

    LRESULT Configure(HWND parent, std::string *error) override
    {
        std::wstring alias = InstalledAlias(NativeBits());
        if (alias.empty()) {
            *error = "TOLVEX.dll is not registered in Drivers32 (tolvexctl install), or use --driver PATH";
            return -1;
        }
        HDRVR h = OpenDriver(alias.c_str(), L"Drivers32", 0);
        if (!h) {
            *error = "the multimedia system cannot open the driver " + Narrow(alias);
            return -1;
        }
        LRESULT r = SendDriverMessage(h, DRV_CONFIGURE, (LPARAM)parent, 0);
        CloseDriver(h, 0, 0);
        return r;
    }

    std::string Name() override { return "winmm"; }

  private:
    HMIDIOUT out_ = nullptr;
    HMIDIIN in_ = nullptr;
};
} // namespace

Devices *OpenWinmmDevices() { return new WinmmDevices(); }

std::string ErrorText(MMRESULT r)
{
    char text[MAXERRORLENGTH] = "";
    if (midiOutGetErrorTextA(r, text, sizeof text) != MMSYSERR_NOERROR || !text[0])
        snprintf(text, sizeof text, "error %u", (unsigned)r);
    return std::string(text) + " (" + std::to_string(r) + ")";
}

std::string Narrow(const std::wstring &w)
{
    if (w.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Widen(const std::string &s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), (int)s.size(), &w[0], n);
    return w;
}
