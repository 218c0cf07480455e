// The USB printer class driver on Windows: its printer interfaces listed through SetupAPI, a
// printer opened through CreateFile (exclusively, for overlapped I/O), WriteFile to its bulk OUT
// pipe, ReadFile from its bulk IN pipe, the device ID through IOCTL_USBPRINT_GET_1284_ID. Each
// transfer waits at most its time-out, then is cancelled (CancelIoEx) and waited for, so that no
// buffer is left in the driver's hands. Nothing else here: the rules live in usbprint_port.cpp.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// These three before usbprint.h, which includes nothing itself; the GUID is defined here only.
#include <initguid.h>
#include <usbprint.h>
#include <winioctl.h>
// SetupAPI and the configuration manager.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <array>
#include <vector>

#include "platform/usbport/usbprint/printer_class.h"

namespace usbport::usbprint {
namespace {

using Status = Outcome::Status;

Outcome failed(DWORD error) {
    struct Known {
        DWORD code;
        Status status;
        const char* name;
    };
    static constexpr Known kKnown[] = {
        {ERROR_SHARING_VIOLATION, Status::Busy, "ERROR_SHARING_VIOLATION"},
        {ERROR_ACCESS_DENIED, Status::Busy, "ERROR_ACCESS_DENIED"},
        {ERROR_DEVICE_NOT_CONNECTED, Status::Gone, "ERROR_DEVICE_NOT_CONNECTED"},
        {ERROR_FILE_NOT_FOUND, Status::Gone, "ERROR_FILE_NOT_FOUND"},
        {ERROR_PATH_NOT_FOUND, Status::Gone, "ERROR_PATH_NOT_FOUND"},
        {ERROR_DEV_NOT_EXIST, Status::Gone, "ERROR_DEV_NOT_EXIST"},
        {ERROR_MORE_DATA, Status::Overflow, "ERROR_MORE_DATA"},
        {ERROR_INSUFFICIENT_BUFFER, Status::Overflow, "ERROR_INSUFFICIENT_BUFFER"},
        {ERROR_SEM_TIMEOUT, Status::TimedOut, "ERROR_SEM_TIMEOUT"},
        {ERROR_GEN_FAILURE, Status::Failed, "ERROR_GEN_FAILURE"},
        {ERROR_OPERATION_ABORTED, Status::Failed, "ERROR_OPERATION_ABORTED"},
    };
    for (const auto& known : kKnown)
        if (known.code == error)
            return {known.status, 0, known.name};
    return {Status::Failed, 0, "error " + std::to_string(error)};
}

// One overlapped operation on `file`, started by `start`, given `timeoutMs` to end.
template <class Start>
Outcome overlapped(HANDLE file, std::uint32_t timeoutMs, Start start) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (o.hEvent == nullptr)
        return failed(GetLastError());
    if (!start(&o) && GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        CloseHandle(o.hEvent);
        return failed(error);
    }
    const bool expired = WaitForSingleObject(o.hEvent, timeoutMs) == WAIT_TIMEOUT;
    if (expired)
        CancelIoEx(file, &o);
    DWORD moved = 0;
    const bool ok = GetOverlappedResult(file, &o, &moved, TRUE) != FALSE;
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(o.hEvent);
    Outcome outcome;
    if (!ok)
        outcome = expired ? Outcome{Status::TimedOut, 0, "ERROR_TIMEOUT"} : failed(error);
    outcome.moved = static_cast<std::uint32_t>(moved);
    return outcome;
}

class Win32PrinterFile final : public PrinterFile {
  public:
    explicit Win32PrinterFile(HANDLE file) : file_(file) {}
    ~Win32PrinterFile() override { CloseHandle(file_); }
    Win32PrinterFile(const Win32PrinterFile&) = delete;
    Win32PrinterFile& operator=(const Win32PrinterFile&) = delete;

    Outcome write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) override {
        return overlapped(file_, timeoutMs, [&](OVERLAPPED* o) {
            return WriteFile(file_, data, length, nullptr, o) != FALSE;
        });
    }
    Outcome read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        return overlapped(file_, timeoutMs, [&](OVERLAPPED* o) {
            return ReadFile(file_, buffer, length, nullptr, o) != FALSE;
        });
    }
    Outcome deviceId(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        return overlapped(file_, timeoutMs, [&](OVERLAPPED* o) {
            return DeviceIoControl(file_, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, buffer, length,
                                   nullptr, o) != FALSE;
        });
    }

  private:
    HANDLE file_;
};

std::string instanceIdOf(DEVINST node) {
    std::array<char, MAX_DEVICE_ID_LEN + 1> id{};
    if (CM_Get_Device_IDA(node, id.data(), static_cast<ULONG>(id.size()), 0) != CR_SUCCESS)
        return {};
    return id.data();
}

// The first string of a registry property (REG_SZ or REG_MULTI_SZ); empty when there is none.
std::string property(HDEVINFO set, SP_DEVINFO_DATA& node, DWORD which) {
    std::array<char, 1024> value{};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &node, which, nullptr,
                                           reinterpret_cast<BYTE*>(value.data()),
                                           static_cast<DWORD>(value.size() - 2), nullptr))
        return {};
    return value.data();
}

class Win32PrinterClass final : public PrinterClass {
  public:
    std::vector<Interface> list(std::string& error) override {
        std::vector<Interface> found;
        const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            error = failed(GetLastError()).error;
            return found;
        }
        SP_DEVICE_INTERFACE_DATA itf{};
        itf.cbSize = sizeof itf;
        for (DWORD i = 0;
             SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USBPRINT, i, &itf); ++i) {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, &size, nullptr);
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
                continue;
            std::vector<std::uint8_t> storage(size);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA node{};
            node.cbSize = sizeof node;
            if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, size, nullptr, &node))
                continue;
            Interface entry;
            entry.path = detail->DevicePath;
            entry.instanceId = instanceIdOf(node.DevInst);
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node.DevInst, 0) == CR_SUCCESS)
                entry.parentInstanceId = instanceIdOf(parent);
            entry.location = property(set, node, SPDRP_LOCATION_PATHS);
            if (entry.location.empty())
                entry.location = property(set, node, SPDRP_LOCATION_INFORMATION);
            found.push_back(std::move(entry));
        }
        if (const DWORD last = GetLastError(); last != ERROR_NO_MORE_ITEMS && last != 0)
            error = failed(last).error;
        SetupDiDestroyDeviceInfoList(set);
        return found;
    }

    std::unique_ptr<PrinterFile> open(const std::string& path, Outcome& failure) override {
        // Share mode 0: no print job reaches the printer while it is open here.
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            failure = failed(GetLastError());
            return nullptr;
        }
        return std::make_unique<Win32PrinterFile>(file);
    }
};

}  // namespace

PrinterClass& systemPrinterClass() {
    static Win32PrinterClass printers;
    return printers;
}

}  // namespace usbport::usbprint
