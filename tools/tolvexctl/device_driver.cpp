/*
 * Devices by loading TOLVEX.dll and calling its exports directly: the tool
 * acts as the multimedia host, as winmm would (fills MIDIOPENDESC, marks
 * headers prepared, sends DRV_LOAD/ENABLE/OPEN). Notifications still travel
 * through winmm's DriverCallback, which the driver calls.
 */
#include "device.h"

#include <mmddk.h>

namespace
{
typedef DWORD(WINAPI *DeviceProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef LRESULT(WINAPI *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

constexpr DWORD_PTR kDriverId = 1;      /* what DRV_OPEN answered; the driver ignores it */
constexpr UINT_PTR kOutHandle = 0x4D4F; /* device handles the tool hands the driver */
constexpr UINT_PTR kInHandle = 0x4D49;

void CALLBACK OutProc(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class DriverDevices : public Devices
{
  public:
    bool Load(const std::wstring &path, std::string *error)
    {
        path_ = path;
        lib_ = LoadLibraryW(path.c_str());
        if (!lib_) {
            *error = "cannot load " + Narrow(path) + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        mod_ = (DeviceProc)(void *)GetProcAddress(lib_, "modMessage");
        mid_ = (DeviceProc)(void *)GetProcAddress(lib_, "midMessage");
        driverProc_ = (DriverProcFn)(void *)GetProcAddress(lib_, "DriverProc");
        if (!mod_ || !mid_ || !driverProc_) {
            *error = Narrow(path) + " lacks modMessage, midMessage or DriverProc: not a MIDI driver";
            return false;
        }
        driverProc_(0, nullptr, DRV_LOAD, 0, 0);
        driverProc_(0, nullptr, DRV_ENABLE, 0, 0);
        driverProc_(kDriverId, nullptr, DRV_OPEN, 0, 0);
        return true;
    }
    ~DriverDevices() override
    {
        if (driverProc_) {
            driverProc_(kDriverId, nullptr, DRV_CLOSE, 0, 0);
            driverProc_(kDriverId, nullptr, DRV_DISABLE, 0, 0);
            driverProc_(kDriverId, nullptr, DRV_FREE, 0, 0);
        }
        if (lib_)
            FreeLibrary(lib_);
    }

    UINT NumOut() override { return mod_(0, MODM_GETNUMDEVS, 0, 0, 0); }
    UINT NumIn() override { return mid_(0, MIDM_GETNUMDEVS, 0, 0, 0); }
    MMRESULT OutCaps(UINT id, MIDIOUTCAPSW *caps) override
    {
        return mod_(id, MODM_GETDEVCAPS, 0, (DWORD_PTR)caps, sizeof *caps);
    }
    MMRESULT InCaps(UINT id, MIDIINCAPSW *caps) override
    {
        return mid_(id, MIDM_GETDEVCAPS, 0, (DWORD_PTR)caps, sizeof *caps);
    }

    MMRESULT OpenOut(UINT id) override
    {
        outId_ = id;
        outDesc_ = MIDIOPENDESC();
        outDesc_.hMidi = (HMIDI)kOutHandle;
        outDesc_.dwCallback = (DWORD_PTR)OutProc;
        return mod_(id, MODM_OPEN, 0, (DWORD_PTR)&outDesc_, CALLBACK_FUNCTION);
    }
    MMRESULT Short(DWORD msg) override { return mod_(outId_, MODM_DATA, 0, msg, 0); }
    MMRESULT Long(const BYTE *data, DWORD size) override
    {
        MIDIHDR hdr = {};
        hdr.lpData = (LPSTR)data;
        hdr.dwBufferLength = size;
        Prepare(mod_, outId_, MODM_PREPARE, &hdr);
        MMRESULT r = mod_(outId_, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
        Unprepare(mod_, outId_, MODM_UNPREPARE, &hdr);
        return r;
    }
    MMRESULT ResetOut() override { return mod_(outId_, MODM_RESET, 0, 0, 0); }
    void CloseOut() override { mod_(outId_, MODM_CLOSE, 0, 0, 0); }

    MMRESULT OpenIn(UINT id, InputProc proc, DWORD_PTR instance) override
    {
        inId_ = id;
        inDesc_ = MIDIOPENDESC();
        inDesc_.hMidi = (HMIDI)kInHandle;
        inDesc_.dwCallback = (DWORD_PTR)proc;
        inDesc_.dwInstance = instance;
        return mid_(id, MIDM_OPEN, 0, (DWORD_PTR)&inDesc_, CALLBACK_FUNCTION);
    }
    MMRESULT AddBuffer(MIDIHDR *hdr) override
    {
        if (!(hdr->dwFlags & MHDR_PREPARED))
            Prepare(mid_, inId_, MIDM_PREPARE, hdr);
        return mid_(inId_, MIDM_ADDBUFFER, 0, (DWORD_PTR)hdr, sizeof *hdr);
    }
    MMRESULT StartIn() override { return mid_(inId_, MIDM_START, 0, 0, 0); }
    MMRESULT ResetIn() override { return mid_(inId_, MIDM_RESET, 0, 0, 0); }
    void UnprepareIn(MIDIHDR *hdr) override { Unprepare(mid_, inId_, MIDM_UNPREPARE, hdr); }
    MMRESULT CloseIn() override { return mid_(inId_, MIDM_CLOSE, 0, 0, 0); }

    LRESULT Configure(HWND parent, std::string *) override
    {
        return driverProc_(kDriverId, nullptr, DRV_CONFIGURE, (LPARAM)parent, 0);
    }

    std::string Name() override { return Narrow(path_); }

  private:
    /* What winmm does when a driver leaves preparing to the system. */
    static void Prepare(DeviceProc proc, UINT id, UINT msg, MIDIHDR *hdr)
    {
        if (proc(id, msg, 0, (DWORD_PTR)hdr, sizeof *hdr) == MMSYSERR_NOTSUPPORTED)
            hdr->dwFlags |= MHDR_PREPARED;
    }
    static void Unprepare(DeviceProc proc, UINT id, UINT msg, MIDIHDR *hdr)
    {
        if (proc(id, msg, 0, (DWORD_PTR)hdr, sizeof *hdr) == MMSYSERR_NOTSUPPORTED)
            hdr->dwFlags &= ~MHDR_PREPARED;
    }

    std::wstring path_;
    HMODULE lib_ = nullptr;
    DeviceProc mod_ = nullptr, mid_ = nullptr;
    DriverProcFn driverProc_ = nullptr;
    MIDIOPENDESC outDesc_ = {}, inDesc_ = {};
    UINT outId_ = 0, inId_ = 0;
};
} // namespace

Devices *OpenDriverDevices(const std::wstring &dllPath, std::string *error)
{
    DriverDevices *d = new DriverDevices();
    if (!d->Load(dllPath, error)) {
        delete d;
        return nullptr;
    }
    return d;
}
