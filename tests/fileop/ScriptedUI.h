// A job window stand-in for the engine's tests: answers from a script and
// remembers what it was told.
#pragma once

// Own
#include "fileop/UFileOp.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cstdint>
#include <utility>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TScriptedUI : public TFileOperationUI {
public:
    std::vector<TCollisionMode> Modes; // one per collision; the last one repeats
    bool Cancel = false;
    bool ContinueAfterFailure = true;
    // The names typed, one per question; the last one repeats. Empty: the
    // name dialog is cancelled.
    std::vector<std::wstring> NewNames;
    int NameQuestions = 0;
    // Called after each step with the number of steps so far.
    std::function<void(int)> OnStep;
    // The window is closed once this many steps are done (never when 0).
    int CloseAfterSteps = 0;
    std::vector<std::wstring> Collisions;
    std::vector<std::wstring> Warnings;
    std::vector<std::wstring> Failures;
    int Steps = 0;
    // Byte progress reports of the file in work: (done, total).
    std::vector<std::pair<uint64_t, uint64_t>> Bytes;

    void ShowCurrentItem(std::wstring_view) override {}
    bool AskCollision(std::wstring_view destinationPath, TCollisionMode& mode) override
    {
        Collisions.emplace_back(destinationPath);
        // A job that keeps asking about the same file is going round in circles.
        if (Collisions.size() > 1000 || Cancel || Modes.empty())
            return false;
        mode = Modes[std::min(Collisions.size(), Modes.size()) - 1];
        return true;
    }
    bool AskNewName(std::wstring_view, std::wstring& name) override
    {
        // A job that keeps asking for a name is going round in circles.
        if (NewNames.empty() || ++NameQuestions > 1000)
            return false;
        name = NewNames[std::min<size_t>(NameQuestions, NewNames.size()) - 1];
        return true;
    }
    bool AskContinueAfterFailure(std::wstring_view text, std::wstring_view) override
    {
        Failures.emplace_back(text);
        return ContinueAfterFailure;
    }
    void ShowWarning(std::wstring_view text, std::wstring_view) override { Warnings.emplace_back(text); }
    void Step(bool) override
    {
        ++Steps;
        if (OnStep)
            OnStep(Steps);
    }
    void Progress(uint64_t done, uint64_t total) override
    {
        Bytes.emplace_back(done, total);
        if (OnProgress)
            OnProgress(done, total);
    }
    // Called with each byte progress report.
    std::function<void(uint64_t, uint64_t)> OnProgress;
    // Every chunk reports: the tests follow the bytes one chunk at a time.
    DWORD AnswerInterval() const override { return 0; }
    // Set from outside (OnProgress) to close the window.
    bool CloseNow = false;
    bool CloseRequested() override { return CloseNow || (CloseAfterSteps > 0 && Steps >= CloseAfterSteps); }
    HWND Owner() override { return nullptr; }
};
