#pragma once

// A ProcessPlatform whose system calls give prescribed answers, for the outcomes that a test
// cannot provoke from the real system (a declined prompt, a failing wait, a 32-bit exit code).
// Error texts come from the real platform, so the lines are the ones the product writes.

#include "process/process_platform.h"

#include <memory>

struct ProcessScript {
    process_control::WaitResult wait{process_control::WaitStatus::Ended, 0, 0};
    bool exitCodeReadable = true;
    unsigned long exitCode = 0;
    process_control::ErrorCode exitCodeError = 0;
};

// What the operation under test did with the process it was given.
struct ProcessRecord {
    bool released = false;
    int waits = 0;
    unsigned long lastLimitMs = 0;
};

class ScriptedProcess final : public process_control::WaitableProcess {
public:
    ScriptedProcess(const ProcessScript& script, std::shared_ptr<ProcessRecord> record)
        : script_(script), record_(std::move(record)) {}
    ~ScriptedProcess() override { record_->released = true; }

    process_control::WaitResult wait(unsigned long limitMs) override {
        ++record_->waits;
        record_->lastLimitMs = limitMs;
        return script_.wait;
    }
    bool exitCode(unsigned long& code, process_control::ErrorCode& error) override {
        if (!script_.exitCodeReadable) {
            error = script_.exitCodeError;
            return false;
        }
        code = script_.exitCode;
        return true;
    }

private:
    ProcessScript script_;
    std::shared_ptr<ProcessRecord> record_;
};

class ScriptedPlatform final : public process_control::ProcessPlatform {
public:
    // How openProcess and startElevated answer; withProcess false gives no process object.
    process_control::OpenStatus openStatus = process_control::OpenStatus::Opened;
    process_control::StartStatus startStatus = process_control::StartStatus::Started;
    process_control::ErrorCode error = 0;
    bool withProcess = true;
    ProcessScript script;
    std::shared_ptr<ProcessRecord> record = std::make_shared<ProcessRecord>();

    process_control::OpenResult openProcess(long long) const override {
        process_control::OpenResult result;
        result.status = openStatus;
        result.error = error;
        if (openStatus == process_control::OpenStatus::Opened && withProcess)
            result.process = std::make_unique<ScriptedProcess>(script, record);
        return result;
    }
    process_control::StartResult startElevated(const QString&) const override {
        process_control::StartResult result;
        result.status = startStatus;
        result.error = error;
        if (startStatus == process_control::StartStatus::Started && withProcess)
            result.process = std::make_unique<ScriptedProcess>(script, record);
        return result;
    }
    QString errorMessage(process_control::ErrorCode code) const override {
        return process_control::systemProcessPlatform().errorMessage(code);
    }
};
