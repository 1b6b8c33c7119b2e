#pragma once

#include <QString>

// Runs one complete command line and returns a text recording what happened. The adapter
// set-up goes through this, so tests can see the exact command texts without running them.
class CommandRunner
{
public:
    virtual ~CommandRunner() = default;
    virtual QString execute(const QString &cmd) = 0;
};
