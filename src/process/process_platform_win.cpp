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
using process_control::ExitStatus;
using process_control::OpenResult;
using process_control::OpenStatus;
using process_control::StartResult;
using process_control::StartStatus;
using process_control::WaitResult;
using process_control::WaitStatus;

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
        return waitFor(static_cast<DWORD>(std::min<unsigned long>(limitMs, INFINITE - 1)));
    }
    WaitResult waitWithoutLimit() override { return waitFor(INFINITE); }

    ExitStatus exitStatus() override {
        DWORD value = 1;
        if (!GetExitCodeProcess(handle_.get(), &value))
            return {false, 1, GetLastError()};
        return {true, value, 0};
    }

private:
    WaitResult waitFor(DWORD limit) {
        const DWORD result = WaitForSingleObject(handle_.get(), limit);
        if (result == WAIT_OBJECT_0)
            return {WaitStatus::Ended, 0};
        if (result == WAIT_TIMEOUT && limit != INFINITE)
            return {WaitStatus::TimedOut, 0};
        return {WaitStatus::Failed, GetLastError()};
    }

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

// The window that owns the consent prompt. By the time the installer starts, the host has closed
// and the updater owns no window; Windows shows an elevation request from a process without the
// foreground only as a flashing taskbar button, which nobody who has just watched the application
// close looks for. The host and the original updater each hand the foreground on to the process
// they start (AllowSetForegroundWindow), so this process may take it with a window of its own:
// invisible (fully transparent, one pixel), titled with the updater's name so that its taskbar
// button, should the foreground still be refused, says whose prompt waits. No window (a machine
// without a desktop): the prompt has no owner, as before.
class PromptOwner {
public:
    PromptOwner() {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        RegisterClassExW(&windowClass);
        window_ =
            CreateWindowExW(WS_EX_LAYERED, kClassName, L"Quindlebrookware Updater", WS_POPUP,
                            GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1,
                            1, nullptr, nullptr, windowClass.hInstance, nullptr);
        if (window_ == nullptr)
            return;
        SetLayeredWindowAttributes(window_, 0, 0, LWA_ALPHA);
        ShowWindow(window_, SW_SHOW);
        SetForegroundWindow(window_);
    }
    ~PromptOwner() {
        if (window_ != nullptr)
            DestroyWindow(window_);
    }
    PromptOwner(const PromptOwner&) = delete;
    PromptOwner& operator=(const PromptOwner&) = delete;
    HWND window() const { return window_; }

private:
    static constexpr wchar_t kClassName[] = L"QuindlebrookwareUpdaterPromptOwner";
    HWND window_ = nullptr;
};

// The path that the held copy has now, with every junction and link on its way resolved, in the
// form that the shell takes ("C:\...", "\\server\share\..."); empty when it cannot be had or is
// too long for the shell. The shell looks the path up again when it starts the program: a path
// through a junction would let whoever retargets the junction choose what runs elevated.
std::wstring finalPathOf(HANDLE file) {
    wchar_t buffer[MAX_PATH + 8] = {};
    const DWORD length = GetFinalPathNameByHandleW(file, buffer, MAX_PATH + 8,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= MAX_PATH + 8)
        return {};
    std::wstring path(buffer, length);
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path = path.substr(4);
    return path.size() < MAX_PATH ? path : std::wstring();
}

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
        StartResult result;
        result.failedCall = QStringLiteral("ShellExecuteExW");
        // The private copy, by the path it has at this moment, and its own directory (which
        // holds nothing else, and to which the user cannot add anything) as the installer's
        // working directory.
        const std::wstring file = finalPathOf(installer.nativeHandle());
        if (file.empty()) {
            result.error = ERROR_FILENAME_EXCED_RANGE;
            return result;
        }
        const std::wstring directory = file.substr(0, file.find_last_of(L'\\'));
        // The shell may hand the start to COM objects; it asks for an initialised apartment.
        const ComApartment apartment;
        const PromptOwner owner;
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        // SEE_MASK_FLAG_NO_UI: a failed start is reported by its error code, never by a message
        // box that nobody could close (the updater has no window and no one may be watching).
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.hwnd = owner.window();
        info.lpVerb = L"runas";
        info.lpFile = file.c_str();
        info.lpParameters = nullptr;
        info.lpDirectory = directory.c_str();
        info.nShow = SW_SHOWNORMAL;

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
