#pragma once

#include "engine/EventWait.h"

#include <QList>
#include <functional>

// Waits that pass at once, after running what the test wants to happen "during" them.
class FakeWait : public EventWait
{
public:
    QList<int> waits;
    std::function<void(int ms)> during;

    bool wait(int ms) override
    {
        waits << ms;
        if (during)
            during(ms);
        return true;
    }
};
