#pragma once

#include "bridge/CommandRunner.h"

// Runs each command line in a new command-interpreter process and waits for it, so the
// adapter set-up proceeds one command after the other. The command's exit code is not
// looked at: its (merged) output is the record of what happened.
class ProcessCommandRunner : public CommandRunner
{
public:
    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kFinishTimeoutMs = 30000;

    // An empty program means the system's command interpreter.
    explicit ProcessCommandRunner(int startTimeoutMs = kStartTimeoutMs,
                                  int finishTimeoutMs = kFinishTimeoutMs,
                                  const QString &program = QString());

    QString execute(const QString &cmd) override;

private:
    int m_startTimeoutMs;
    int m_finishTimeoutMs;
    QString m_program;
};
