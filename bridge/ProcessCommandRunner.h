#pragma once

#include "bridge/CommandRunner.h"

#include <QProcess>

#include <functional>

// Runs each command line in a new command-interpreter process and waits for it, so the
// adapter set-up proceeds one command after the other. The command's exit code is not
// looked at: its (merged) output is the record of what happened.
class ProcessCommandRunner : public CommandRunner
{
public:
    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kFinishTimeoutMs = 30000;

    // What a command line is handed to: sets a process up (program and arguments) to run it.
    using Interpreter = std::function<void(QProcess &process, const QString &cmd)>;
    // By default this platform's CommandInterpreter.
    static Interpreter platformInterpreter();

    explicit ProcessCommandRunner(int startTimeoutMs = kStartTimeoutMs,
                                  int finishTimeoutMs = kFinishTimeoutMs,
                                  Interpreter interpreter = platformInterpreter());

    QString execute(const QString &cmd) override;

private:
    int m_startTimeoutMs;
    int m_finishTimeoutMs;
    Interpreter m_interpreter;
};
