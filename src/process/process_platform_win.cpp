// Win32 implementation of the process platform: process handles, waits, the elevated start
// through the shell's "runas" verb, and the system's error texts.

#include "process_platform.h"
#include "verification/installer_file.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <string>

namespace {

using process_control::ErrorCode;
using process_control::OpenResult;
using process_control::OpenStatus;
using process_control::StartResult;
using process_control::StartStatus;
using process_control::WaitResult;
using process_control::WaitStatus;

// The sole owner of one Win32 kernel handle, closed when the owner goes out of scope.
class WinHandle {
public:
    explicit WinHandle(HANDLE handle) : handle_(handle) {}
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&&) = delete;
    WinHandle& operator=(WinHandle&&) = delete;

    ~WinHandle() {
        // Null and INVALID_HANDLE_VALUE both mean "no handle": nothing to close.
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE)
            return;
        CloseHandle(handle_); // a failed close changes nothing for the caller
        handle_ = nullptr;
    }

    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The system's message text for an error code, as the system gives it; empty when it has none.
QString formatMessageText(ErrorCode code) {
    LPWSTR buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr)
        return QString();
    const QString text = QString::fromWCharArray(buffer);
    LocalFree(buffer);
    return text;
}

// A Win32 error code as one line of text, "<system text> (<code>)".
QString windowsErrorMessage(unsigned long code) {
    return process_control::errorMessageText(code, &formatMessageText);
}

class WinProcess final : public process_control::WaitableProcess {
public:
    explicit WinProcess(HANDLE handle) : handle_(handle) {}

    WaitResult wait(unsigned long limitMs) override {
        const DWORD result = WaitForSingleObject(handle_.get(), static_cast<DWORD>(limitMs));
        if (result == WAIT_OBJECT_0)
            return {WaitStatus::Ended, result, 0};
        if (result == WAIT_TIMEOUT && limitMs != process_control::kWaitForever)
            return {WaitStatus::TimedOut, result, 0};
        return {WaitStatus::Failed, result, GetLastError()};
    }

    bool exitCode(unsigned long& code, ErrorCode& error) override {
        DWORD value = 1;
        if (!GetExitCodeProcess(handle_.get(), &value)) {
            error = GetLastError();
            return false;
        }
        code = value;
        return true;
    }

private:
    WinHandle handle_;
};

// COM initialised on this thread for one scope, as ShellExecuteExW wants it; released again only
// when this scope initialised it.
class ComApartment {
public:
    ComApartment()
        : initialised_(SUCCEEDED(
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (initialised_)
            CoUninitialize();
    }

private:
    bool initialised_;
};

class WinProcessPlatform final : public process_control::ProcessPlatform {
public:
    OpenResult openProcess(long long processId) const override {
        OpenResult result;
        const HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
        if (handle == nullptr) {
            result.error = GetLastError();
            // The system answers an identifier that names no running process with
            // ERROR_INVALID_PARAMETER.
            result.status = result.error == ERROR_INVALID_PARAMETER ? OpenStatus::NoSuchProcess
                                                                    : OpenStatus::Failed;
            return result;
        }
        result.status = OpenStatus::Opened;
        result.process = std::make_unique<WinProcess>(handle);
        return result;
    }

    StartResult startElevated(const InstallerFile& installer) const override {
        // The installer is started by its path, as the shell needs it: the update holds that file
        // open against writing, renaming and deleting until the installer has ended, so the path
        // names the bytes that were checked.
        const std::wstring file = installer.path().toStdWString();
        // The shell may hand the start to COM objects; it asks for an initialised apartment.
        const ComApartment apartment;
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        // SEE_MASK_FLAG_NO_UI: a failed start is reported by its error code, never by a message
        // box that nobody could close (the updater has no window and no one may be watching).
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.hwnd = nullptr;
        info.lpVerb = L"runas";
        info.lpFile = file.c_str();
        info.lpParameters = nullptr;
        info.lpDirectory = nullptr;
        info.nShow = SW_SHOWNORMAL;

        StartResult result;
        if (!ShellExecuteExW(&info)) {
            result.error = GetLastError();
            result.status =
                result.error == ERROR_CANCELLED ? StartStatus::Cancelled : StartStatus::Failed;
            return result;
        }
        result.status = StartStatus::Started;
        if (info.hProcess != nullptr)
            result.process = std::make_unique<WinProcess>(info.hProcess);
        return result;
    }

    QString errorMessage(ErrorCode code) const override { return windowsErrorMessage(code); }
};

#if defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "the shell expects the 64-bit request layout");
#endif

} // namespace

const process_control::ProcessPlatform& process_control::systemProcessPlatform() {
    static const WinProcessPlatform platform;
    return platform;
}
