#pragma once

// Waits on the GUI thread that keep the event loop running, so other slots run inside them.
// Tests hand in their own to run the waits without waiting seconds.
class EventWait
{
public:
    virtual ~EventWait() = default;
    // Returns false when the wait ended early because the application is quitting.
    virtual bool wait(int ms) = 0;

    static EventWait *standard();
};
