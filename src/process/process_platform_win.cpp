// Win32 implementation of the process platform: process handles, waits, the elevated start
// through the shell's "runas" verb, and the system's error texts.

#include "process_platform.h"

#include <windows.h>

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

    StartResult startElevated(const QString& program) const override {
        const std::wstring file = program.toStdWString();
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
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
